#include "Host/MessageArena.h"

#include <algorithm>
#include <memory>
#include <new>

namespace tamberlo {
namespace json = boost::json;

json::storage_ptr MessageArena::prepare(std::size_t frameLength) {
  overflow_.clear();
  nextOverflow_ = kFirstOverflow;
  std::size_t wanted = frameLength + kSlack;
  if (wanted > capacity_) {
    // Invariant: the old block is freed before the new one is allocated; peak memory is one block.
    block_.reset();
    block_ = std::make_unique_for_overwrite<unsigned char[]>(wanted);
    capacity_ = wanted;
  }
  free_ = block_.get();
  available_ = capacity_;
  budget_ = frameLength + kOverflowAllowance;
  return json::storage_ptr(this);
}

void* MessageArena::do_allocate(std::size_t n, std::size_t align) {
  void* at = free_;
  if (std::align(align, n, at, available_) == nullptr) {
    std::size_t least = n + align;
    if (least < n || least > budget_) throw std::bad_alloc();
    if (least >= kLargeAllocation) {
      // A block of its own, of just that size: the rest of the block in use stays in use.
      at = takeBlock(least);
      std::size_t space = least;
      return std::align(align, n, at, space);
    }
    std::size_t size = std::min(std::max(nextOverflow_, least), budget_);
    at = takeBlock(size);
    available_ = size;
    nextOverflow_ = std::min(size * 2, kLargeAllocation);
    std::align(align, n, at, available_);
  }
  free_ = static_cast<unsigned char*>(at) + n;
  available_ -= n;
  return at;
}

void* MessageArena::takeBlock(std::size_t size) {
  overflow_.push_back(std::make_unique_for_overwrite<unsigned char[]>(size));
  budget_ -= size;
  return overflow_.back().get();
}

}  // namespace tamberlo
