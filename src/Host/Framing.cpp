#include "Host/Framing.h"

#include <algorithm>
#include <cstring>

#include "Platform/Streams.h"

namespace tamberlo {
namespace {

// Room for a pipe's worth of small frames in one read.
constexpr size_t kMinBuffer = 64 * 1024;
// Beyond the frame that made the buffer grow.
constexpr size_t kGrowthRoom = 64 * 1024;

uint32_t lengthAt(const char* bytes) {
  uint32_t length;
  std::memcpy(&length, bytes, sizeof length);
  return length;
}

}  // namespace

bool FrameReader::fill(size_t count) {
  if (end_ - begin_ >= count) return true;
  if (capacity_ - begin_ < count) {
    // Not enough room after the unconsumed bytes: they move to the front, into a new buffer when
    // even the whole one is too small. A new buffer has kGrowthRoom beyond `count` for the few more
    // digits by which the next frames of a transfer grow: a transfer allocates once. Invariant: the
    // old buffer is freed before the new one is allocated; only the unconsumed bytes are held
    // twice.
    size_t have = end_ - begin_;
    if (capacity_ < count) {
      std::string readAhead(buffer_.get() + begin_, have);
      buffer_.reset();
      size_t capacity = std::max(count + kGrowthRoom, kMinBuffer);
      buffer_ = std::make_unique_for_overwrite<char[]>(capacity);
      std::memcpy(buffer_.get(), readAhead.data(), have);
      capacity_ = capacity;
    } else if (have > 0) {
      std::memmove(buffer_.get(), buffer_.get() + begin_, have);
    }
    begin_ = 0;
    end_ = have;
  }
  while (end_ - begin_ < count) {
    Result<size_t> n = readSome(fd_, {buffer_.get() + end_, capacity_ - end_});
    if (!n || *n == 0) return false;
    end_ += *n;
  }
  return true;
}

bool FrameReader::skip(uint64_t length) {
  // What was read ahead goes first; the rest is read through a small scratch piece at a time.
  size_t buffered = static_cast<size_t>(std::min<uint64_t>(length, end_ - begin_));
  begin_ += buffered;
  length -= buffered;
  char scratch[64 * 1024];
  while (length > 0) {
    size_t piece = length < sizeof scratch ? static_cast<size_t>(length) : sizeof scratch;
    Result<size_t> n = readSome(fd_, {scratch, piece});
    if (!n || *n == 0) return false;
    length -= *n;
  }
  return true;
}

bool FrameReader::pass(size_t length, FrameConsumer& consumer) {
  while (length > 0) {
    if (begin_ == end_) {
      // Never past the frame's end: what follows it is read by the next call, in bulk.
      begin_ = end_ = 0;
      std::span<char> into = consumer.placeForNext();
      bool inPlace = !into.empty();
      if (!inPlace) into = {buffer_.get(), capacity_};
      Result<size_t> n = readSome(fd_, into.first(std::min({length, into.size(), capacity_})));
      if (!n || *n == 0) return false;
      if (inPlace) {
        consumer.take({into.data(), *n});
        length -= *n;
        continue;
      }
      end_ = *n;
    }
    size_t piece = std::min(length, end_ - begin_);
    consumer.take({buffer_.get() + begin_, piece});
    begin_ += piece;
    length -= piece;
  }
  return true;
}

FrameStatus FrameReader::next(FrameConsumer& consumer) {
  if (!fill(sizeof(uint32_t))) return FrameStatus::kEnd;
  uint32_t length = lengthAt(buffer_.get() + begin_);
  begin_ += sizeof length;
  if (length > kMaxIncomingFrame) {
    return skip(length) ? FrameStatus::kTooLarge : FrameStatus::kEnd;
  }
  consumer.start(length);
  if (length > kWholeFrame) return pass(length, consumer) ? FrameStatus::kFrame : FrameStatus::kEnd;
  if (!fill(length)) return FrameStatus::kEnd;
  if (length > 0) consumer.take({buffer_.get() + begin_, length});
  begin_ += length;
  return FrameStatus::kFrame;
}

bool FrameReader::hasBufferedFrame() const {
  size_t have = end_ - begin_;
  if (have < sizeof(uint32_t)) return false;
  return have - sizeof(uint32_t) >= lengthAt(buffer_.get() + begin_);
}

void appendFrame(std::string& out, std::string_view payload) {
  uint32_t length = static_cast<uint32_t>(payload.size());
  out.append(reinterpret_cast<const char*>(&length), sizeof length);
  out.append(payload);
}

namespace {

bool readAll(int fd, char* into, size_t length) {
  while (length > 0) {
    Result<size_t> n = readSome(fd, {into, length});
    if (!n || *n == 0) return false;
    into += *n;
    length -= *n;
  }
  return true;
}

}  // namespace

std::optional<std::string> readFrame(int fd, std::string storage) {
  uint32_t length;
  if (!readAll(fd, reinterpret_cast<char*>(&length), sizeof length)) return std::nullopt;
  storage.resize(length);
  if (!readAll(fd, storage.data(), length)) return std::nullopt;
  return storage;
}

}  // namespace tamberlo
