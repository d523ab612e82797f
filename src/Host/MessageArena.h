// Memory for the values of one message at a time, with a bound on how much one message may take.
#pragma once

#include <boost/json/memory_resource.hpp>
#include <boost/json/storage_ptr.hpp>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

namespace tamberlo {

// One block kept from message to message, sized to the largest frame plus room for the containers
// around its strings. Hot-path invariant: a run of chunks parses without allocating or touching
// fresh pages. A message that needs more gets further blocks from the heap, for its own lifetime
// only, up to its budget: its frame's length plus kOverflowAllowance. An allocation past the budget
// throws std::bad_alloc; whatever a frame holds, one message takes at most about twice its frame's
// length plus that allowance. Nothing is freed before the next message.
class MessageArena final : public boost::json::memory_resource {
 public:
  static constexpr std::size_t kOverflowAllowance = 24u << 20;

  MessageArena() = default;
  MessageArena(const MessageArena&) = delete;
  MessageArena& operator=(const MessageArena&) = delete;

  // Storage for the next message, of a frame of `frameLength` bytes, under its budget. Whatever
  // the last message used is given back first.
  boost::json::storage_ptr prepare(std::size_t frameLength);

  // Lifts the budget of the current message: what is made after parsing (a reply around the
  // message) must not fail.
  void lift() { budget_ = static_cast<std::size_t>(-1); }

 private:
  void* do_allocate(std::size_t n, std::size_t align) override;
  void do_deallocate(void*, std::size_t, std::size_t) override {}
  bool do_is_equal(const memory_resource& other) const noexcept override { return this == &other; }

  // Keys, numbers and the object of a chunk message, and the few digits by which frames of
  // one transfer differ.
  static constexpr std::size_t kSlack = 64 * 1024;
  // Small allocations share heap blocks of this size at first, each block twice the last up
  // to kLargeAllocation; one of at least that size gets a block of its own.
  static constexpr std::size_t kFirstOverflow = 16 * 1024;
  static constexpr std::size_t kLargeAllocation = 1024 * 1024;

  // A heap block of `size` bytes, charged to the budget.
  void* takeBlock(std::size_t size);

  std::unique_ptr<unsigned char[]> block_;
  std::size_t capacity_ = 0;
  std::vector<std::unique_ptr<unsigned char[]>> overflow_;
  std::size_t nextOverflow_ = kFirstOverflow;
  // What the heap blocks of this message may still add up to.
  std::size_t budget_ = 0;
  // The free part of the block in use.
  unsigned char* free_ = nullptr;
  std::size_t available_ = 0;
};

}  // namespace tamberlo

// Deallocation is a no-op: strings may be read into in place (see MessageParser).
template <>
struct boost::json::is_deallocate_trivial<tamberlo::MessageArena> : std::true_type {};
