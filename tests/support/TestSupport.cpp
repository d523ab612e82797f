#include "support/TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Host/Framing.h"

namespace tamberlo::testing {

std::string textOf(const std::filesystem::path& path) {
  std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

std::string readFile(const std::string& path) {
  std::ifstream in(pathFromUtf8(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, std::string_view content) {
  std::ofstream out(pathFromUtf8(path), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::vector<std::string> listNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(pathFromUtf8(folder))) {
    names.push_back(textOf(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (bytes.size() - i == 1) {
    uint32_t v = uint8_t(bytes[i]) << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (bytes.size() - i == 2) {
    uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

// The system's file system, made once and shared: it holds no state of its own.
FileSystem& systemFileSystem() {
  static const std::unique_ptr<FileSystem> files = makeSystemFileSystem();
  return *files;
}

HandlerUnderTest::HandlerUnderTest(FileSystem& files, std::optional<std::string> downloads) {
  // As SafariWebExtensionHandler::downloadsFolder() gives it to the host.
  if (downloads) downloads = files.resolveSymlinks(*downloads);
  auto sink = std::make_unique<CapturingSink>();
  log = sink.get();
  handler = std::make_unique<SafariWebExtensionHandler>(files, desktop, std::move(downloads),
                                                        std::move(sink));
}

HandlerUnderTest::HandlerUnderTest(std::optional<std::string> downloads)
    : HandlerUnderTest(systemFileSystem(), std::move(downloads)) {}

boost::json::object HandlerUnderTest::answer(std::string_view messageJson) {
  return handler->answer(boost::json::parse(messageJson));
}

std::string frame(std::string_view payload) {
  std::string bytes;
  appendFrame(bytes, payload);
  return bytes;
}

FakeHome::FakeHome() { std::filesystem::create_directory(pathFromUtf8(downloads())); }

void HostProcess::send(std::string_view payload) { sendRaw(frame(payload)); }

std::optional<std::string> HostProcess::receive() { return readFrame(out_); }

std::string HostProcess::log() const {
  std::string text = readFile(stderrPath_);
#ifdef TAMBERLO_EMULATED
  // The line at start that names what of the sandbox the emulator lacks.
  constexpr std::string_view kSandbox = "tamberlo.host safari-extension info: sandbox: ";
  if (text.starts_with(kSandbox)) text.erase(0, text.find('\n') + 1);
#endif
  return text;
}

boost::json::value HostProcess::request(std::string_view messageJson) {
  send(messageJson);
  std::optional<std::string> reply = receive();
  if (!reply) throw std::runtime_error("host gave no reply");
  return boost::json::parse(*reply);
}

}  // namespace tamberlo::testing
