// The native-messaging wire format: each message is a 4-byte length in native byte order
// followed by that many bytes of UTF-8 JSON, on standard input; replies go out the same way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tamberlo {

// Browsers send at most this much to a host in one message.
inline constexpr uint32_t kMaxIncomingFrame = 64u << 20;
// Browsers refuse a reply larger than this.
inline constexpr uint32_t kMaxOutgoingFrame = 1u << 20;

enum class FrameStatus {
  kFrame,     // a whole frame was read
  kTooLarge,  // a frame over the limit was read through and dropped
  kEnd,       // end of input, or a frame cut short by it
};

// Reads frames from a file descriptor into one buffer that is reused from frame to frame.
class FrameReader {
 public:
  explicit FrameReader(int fd) : fd_(fd) {}

  // Reads the next frame. Its bytes are in frame() until the next call. A frame over the limit
  // is read through in small pieces, never held in memory.
  FrameStatus next();
  std::string_view frame() const { return std::string_view(buffer_.data(), length_); }

 private:
  bool readFully(char* into, size_t length);
  bool skip(uint64_t length);

  int fd_;
  std::string buffer_;
  size_t length_ = 0;
};

// Writes `payload` as one frame to `fd`, continuing short writes. False when the output is
// closed or fails; the caller then has nobody left to answer.
bool writeFrame(int fd, std::string_view payload);

}  // namespace tamberlo
