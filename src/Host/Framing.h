// The native-messaging wire format: each message is a 4-byte length in native byte order
// followed by that many bytes of UTF-8 JSON, on standard input; replies go out the same way.
#pragma once

#include <cstdint>
#include <memory>
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

// Reads frames from a file descriptor into one buffer that is reused from frame to frame. It
// reads as much as the pipe holds, so that a burst of small messages costs one read, not two
// per message; the buffer grows to the largest frame seen (never more) and is not zero-filled.
class FrameReader {
 public:
  explicit FrameReader(int fd) : fd_(fd) {}

  // Reads the next frame, blocking until it is whole. Its bytes are in frame() until the next
  // call; the caller may change them in place. A frame over the limit is read through in small
  // pieces, never held in memory.
  FrameStatus next();
  std::string_view frame() const { return {buffer_.get() + frameBegin_, frameLength_}; }
  char* mutableFrame() { return buffer_.get() + frameBegin_; }

  // True when the next frame is already whole in the buffer, so next() will not block.
  bool hasBufferedFrame() const;

 private:
  // Reads until at least `count` unconsumed bytes are in the buffer; false at end of input.
  bool fill(size_t count);
  bool skip(uint64_t length);

  int fd_;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t begin_ = 0;  // the first byte not yet handed out
  size_t end_ = 0;    // one past the last byte read
  size_t frameBegin_ = 0;
  size_t frameLength_ = 0;
};

// Appends `payload` as one frame (its length, then its bytes) to `out`.
void appendFrame(std::string& out, std::string_view payload);

// Writes all of `bytes` to `fd`, continuing short writes. False when the output is closed or
// fails; the caller then has nobody left to answer.
bool writeAll(int fd, std::string_view bytes);

// Writes `payload` as one frame to `fd`.
bool writeFrame(int fd, std::string_view payload);

}  // namespace tamberlo
