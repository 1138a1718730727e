// Storage for the store's records: a contiguous array of records, and a
// small list of 32-bit slots with inline room that spills to the heap only
// when it outgrows it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "hypergraph/ids.hpp"
#include "hypergraph/list_blocks.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vorn {

// Where the store's arrays live: small ones on the heap; past kMappedFrom
// bytes, on Linux, whole pages from the kernel, so that a larger block is
// the same pages remapped (mremap), never a copy (a copy would hold both
// blocks at once: the peak memory of a growing array would be twice its
// size), and from 2 MiB asking for huge pages (fewer TLB misses on the
// step's random accesses; a kernel that refuses leaves the small pages).
// Under AddressSanitizer every block stays on its heap, where it checks them.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#define VORN_REMAPPED_RECORDS 1
#endif

namespace block {

inline constexpr std::size_t kMappedFrom = std::size_t{256} << 10;
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

inline bool mapped(std::size_t bytes) {
#ifdef VORN_REMAPPED_RECORDS
  return bytes >= kMappedFrom;
#else
  (void)bytes;
  return false;
#endif
}

#ifdef VORN_REMAPPED_RECORDS
// A mapping as operator new makes an allocation: on failure the new-handler
// may free memory and the mapping is tried again; without one, bad_alloc.
template <class Map>
void* retrying(Map&& map) {
  void* p = map();
  while (p == MAP_FAILED) {
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
    p = map();
  }
  return p;
}
#endif

// A block of `bytes` (bytes > 0), aligned for any record.
inline void* allocate(std::size_t bytes) {
#ifdef VORN_REMAPPED_RECORDS
  if (mapped(bytes)) {
    void* p = retrying(
        [&] { return ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); });
    if (bytes >= kHugePage) ::madvise(p, bytes, MADV_HUGEPAGE);
    return p;
  }
#endif
  return ::operator new (bytes, std::align_val_t{64});
}

inline void release(void* p, [[maybe_unused]] std::size_t bytes) {
  if (p == nullptr) return;
#ifdef VORN_REMAPPED_RECORDS
  if (mapped(bytes)) {
    ::munmap(p, bytes);
    return;
  }
#endif
  ::operator delete (p, std::align_val_t{64});
}

// The block `p` of `old_bytes` (or null) as one of `bytes` > old_bytes,
// keeping its first `used` bytes.
inline void* grow(void* p, std::size_t old_bytes, std::size_t bytes, std::size_t used) {
#ifdef VORN_REMAPPED_RECORDS
  if (p != nullptr && mapped(old_bytes)) {
    void* q = retrying([&] { return ::mremap(p, old_bytes, bytes, MREMAP_MAYMOVE); });
    if (bytes >= kHugePage) ::madvise(q, bytes, MADV_HUGEPAGE);
    return q;
  }
#endif
  void* q = allocate(bytes);
  if (used > 0) std::memcpy(q, p, used);
  release(p, old_bytes);
  return q;
}

}  // namespace block

// Records addressed by a dense 32-bit index, in one contiguous block (an
// access is one indexed load; growth is amortised O(1)). A record must be
// relocatable as bytes (nothing in it points into itself): growth moves the
// block as a whole (see block::grow) instead of moving and destroying the
// records one by one (at 10^6 vertices that was a 64 MiB copy in the middle
// of a step).
template <class T>
class RecordArray {
 public:
  RecordArray() = default;
  RecordArray(RecordArray&& o) noexcept
      : items_(std::exchange(o.items_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  RecordArray& operator=(RecordArray&& o) noexcept {
    if (this != &o) {
      release();
      items_ = std::exchange(o.items_, nullptr);
      size_ = std::exchange(o.size_, 0);
      capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
  }
  RecordArray(const RecordArray&) = delete;
  RecordArray& operator=(const RecordArray&) = delete;
  ~RecordArray() { release(); }

  T& operator[](uint32_t i) { return items_[i]; }
  const T& operator[](uint32_t i) const { return items_[i]; }
  uint32_t size() const { return size_; }
  // Appends a default record and returns its index.
  uint32_t grow() {
    static_assert(std::is_nothrow_default_constructible_v<T>);
    if (size_ == capacity_) reallocate();
    ::new (static_cast<void*>(items_ + size_)) T();
    return size_++;
  }
  std::size_t reserved_bytes() const { return bytes(capacity_); }

 private:
  static_assert(alignof(T) <= 64);
  static std::size_t bytes(uint32_t records) { return std::size_t{records} * sizeof(T); }

  void reallocate() {
    // Index kNoSlot is no record's.
    if (size_ == kNoSlot) throw std::length_error("more than 2^32 - 1 records in one store");
    const uint64_t wanted = capacity_ == 0 ? (4096 + sizeof(T) - 1) / sizeof(T) : uint64_t{capacity_} * 2;
    const auto capacity = static_cast<uint32_t>(std::min<uint64_t>(wanted, UINT32_MAX));
    // The records live on in the new block: nothing is destroyed.
    items_ = static_cast<T*>(block::grow(items_, bytes(capacity_), bytes(capacity), bytes(size_)));
    capacity_ = capacity;
  }
  void release() {
    for (uint32_t i = 0; i < size_; ++i) items_[i].~T();
    block::release(items_, bytes(capacity_));
    items_ = nullptr;
    size_ = capacity_ = 0;
  }

  T* items_ = nullptr;
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;
};

// An ordered list of 32-bit values in 8 + 4N bytes, aligned to 4 (so that a
// record can hold it without padding): up to N inline; a longer list lives
// in a block of a ListBlocks that its owner passes to every call that may
// grow or drop the list, and that block's address takes the inline words.
// Blocks double as the list grows and stay until reset; a list destroyed
// with a block leaves it to the pool, which frees every block at once.
template <unsigned N>
class SlotList {
  static_assert(N >= 2, "the inline words must hold a pointer");

 public:
  SlotList() = default;
  SlotList(const SlotList&) = delete;
  SlotList& operator=(const SlotList&) = delete;
  SlotList(SlotList&& o) noexcept : size_(o.size_), cap_(o.cap_) {
    std::memcpy(words_, o.words_, sizeof(words_));
    o.size_ = 0;
    o.cap_ = N;
  }

  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint32_t* begin() const { return on_heap() ? heap() : words_; }
  const uint32_t* end() const { return begin() + size_; }
  uint32_t operator[](uint32_t i) const { return begin()[i]; }

  void push_back(uint32_t value, ListBlocks& blocks) {
    if (size_ == cap_) [[unlikely]]
      grow(blocks);
    data()[size_++] = value;
  }
  // Removes the first occurrence of `value`, keeping the order of the rest.
  void erase_one(uint32_t value) {
    uint32_t* d = data();
    for (uint32_t i = 0; i < size_; ++i) {
      if (d[i] == value) {
        // Lists are short: a plain shift beats a call to memmove.
        for (--size_; i < size_; ++i) d[i] = d[i + 1];
        return;
      }
    }
  }
  // Removes every occurrence of `value`, keeping the order of the rest.
  void erase_all(uint32_t value) {
    uint32_t* d = data();
    uint32_t out = 0;
    for (uint32_t i = 0; i < size_; ++i) {
      if (d[i] != value) d[out++] = d[i];
    }
    size_ = out;
  }
  // Empties the list and hands its block back.
  void reset(ListBlocks& blocks) {
    if (on_heap()) blocks.give(heap(), cap_);
    cap_ = N;
    size_ = 0;
  }
  std::size_t heap_bytes() const { return on_heap() ? std::size_t{cap_} * sizeof(uint32_t) : 0; }

 private:
  bool on_heap() const { return cap_ > N; }
  uint32_t* heap() const {
    uint32_t* p;
    std::memcpy(&p, words_, sizeof(p));
    return p;
  }
  uint32_t* data() { return on_heap() ? heap() : words_; }
  // A full list moves to a block of twice its capacity.
  [[gnu::noinline]] void grow(ListBlocks& blocks) {
    if (cap_ > (UINT32_MAX >> 1)) throw std::length_error("an incidence list of 2^31 entries");
    const uint32_t cap = cap_ * 2;
    uint32_t* block = blocks.take(cap);
    std::memcpy(block, begin(), std::size_t{size_} * sizeof(uint32_t));
    if (on_heap()) blocks.give(heap(), cap_);
    std::memcpy(words_, &block, sizeof(block));
    cap_ = cap;
  }

  uint32_t size_ = 0;
  uint32_t cap_ = N;
  uint32_t words_[N] = {};
};

// A growable array of 32-bit slots (the store's live-vertex list and free
// lists). Appending is written out here so that the step's few appends are
// inlined where they occur: std::vector<uint32_t>::push_back is one function
// shared with every other use of that type in the library, which the
// optimiser may keep out of line (about 20 instructions a call). Growth
// doubles, stays out of line and, for a large stack, remaps instead of
// copying (block::grow).
class SlotStack {
 public:
  SlotStack() = default;
  SlotStack(SlotStack&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  SlotStack& operator=(SlotStack&& o) noexcept {
    if (this != &o) {
      block::release(data_, capacity_ * sizeof(uint32_t));
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
  }
  SlotStack(const SlotStack&) = delete;
  SlotStack& operator=(const SlotStack&) = delete;
  ~SlotStack() { block::release(data_, capacity_ * sizeof(uint32_t)); }

  void push_back(uint32_t s) {
    if (size_ == capacity_) [[unlikely]]
      grow();
    data_[size_++] = s;
  }
  void pop_back() { --size_; }
  uint32_t back() const { return data_[size_ - 1]; }
  uint32_t& operator[](std::size_t i) { return data_[i]; }
  uint32_t operator[](std::size_t i) const { return data_[i]; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return capacity_; }
  const uint32_t* begin() const { return data_; }
  const uint32_t* end() const { return data_ + size_; }
  operator std::span<const uint32_t>() const { return {data_, size_}; }

 private:
  [[gnu::noinline]] void grow() {
    const std::size_t capacity = capacity_ == 0 ? 16 : capacity_ * 2;
    data_ = static_cast<uint32_t*>(block::grow(data_, capacity_ * sizeof(uint32_t),
                                               capacity * sizeof(uint32_t), size_ * sizeof(uint32_t)));
    capacity_ = capacity;
  }

  uint32_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vorn
