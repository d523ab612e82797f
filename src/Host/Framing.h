// The native-messaging wire format: each message is a 4-byte length in native byte order
// followed by that many bytes of UTF-8 JSON, on standard input; replies go out the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Streams.h"

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

// Takes the bytes of frames as they arrive.
class FrameConsumer {
 public:
  virtual ~FrameConsumer() = default;
  // A frame of `length` bytes begins; all of them follow through take(), in order.
  virtual void start(std::size_t length) = 0;
  // The next bytes of the frame, valid only during the call.
  virtual void take(std::string_view piece) = 0;
  // Memory of the consumer's own into which the reader may read the next bytes of a large frame;
  // they still arrive through take(), already where they are to stay, without a copy. Empty when
  // they are to go through the reader's buffer. The reader writes there only the bytes it then
  // hands on.
  virtual std::span<char> placeForNext() { return {}; }
};

// Reads frames from a file descriptor through one buffer that is reused from frame to frame. Each
// read takes as much as the pipe holds: a burst of small messages costs one read, not two per
// message. A large frame is never gathered whole: it passes through the buffer a pipe's worth at a
// time, each piece handed on while it is still in the processor's cache, or is read straight into
// the place the consumer offers for it. The buffer is not zero-filled and never grows past a small
// frame's size.
class FrameReader {
 public:
  explicit FrameReader(int fd) : fd_(fd) {}

  // Reads the next frame into `consumer`, blocking until it is whole. A frame over the limit is
  // read through in small pieces and never reaches the consumer. At kEnd the consumer may have
  // been given the first part of a frame that the end of input cut short.
  FrameStatus next(FrameConsumer& consumer);

  // True when the next frame is already whole in the buffer, so next() will not block.
  bool hasBufferedFrame() const;

  // Frames up to this length are gathered whole and handed on in one piece.
  static constexpr std::size_t kWholeFrame = 256 * 1024;

 private:
  // Reads until at least `count` unconsumed bytes are in the buffer; false at end of input.
  bool fill(size_t count);
  // Reads and drops the next `length` bytes; false at end of input.
  bool skip(uint64_t length);
  // Hands on the `length` bytes of a large frame as they arrive; false at end of input.
  bool pass(size_t length, FrameConsumer& consumer);

  int fd_;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t begin_ = 0;  // the first byte not yet handed out
  size_t end_ = 0;    // one past the last byte read
};

// Appends `payload` as one frame (its length, then its bytes) to `out`. REQUIRES: a payload
// shorter than 4 GiB: the length field is 32 bits.
void appendFrame(std::string& out, std::string_view payload);

// Reads one whole frame from `fd`, blocking, for a peer that reads replies one at a time (the
// host itself reads through FrameReader). The payload lands in `storage`, whose memory is
// reused, and is returned; nothing at end of input, on a read error, or when the end of input
// cuts the frame short.
std::optional<std::string> readFrame(int fd, std::string storage = {});

}  // namespace tamberlo
