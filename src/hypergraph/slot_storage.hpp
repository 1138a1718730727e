// Storage for the store's records: a contiguous array of records, and a
// small list of 32-bit slots with inline room that spills to the heap only
// when it outgrows it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "hypergraph/ids.hpp"

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

// A block of `bytes` (bytes > 0), aligned for any record.
inline void* allocate(std::size_t bytes) {
#ifdef VORN_REMAPPED_RECORDS
  if (mapped(bytes)) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (bytes >= kHugePage) ::madvise(p, bytes, MADV_HUGEPAGE);
    return p;
  }
#endif
  return ::operator new(bytes, std::align_val_t{64});
}

inline void release(void* p, [[maybe_unused]] std::size_t bytes) {
  if (p == nullptr) return;
#ifdef VORN_REMAPPED_RECORDS
  if (mapped(bytes)) {
    ::munmap(p, bytes);
    return;
  }
#endif
  ::operator delete(p, std::align_val_t{64});
}

// The block `p` of `old_bytes` (or null) as one of `bytes` > old_bytes,
// keeping its first `used` bytes.
inline void* grow(void* p, std::size_t old_bytes, std::size_t bytes, std::size_t used) {
#ifdef VORN_REMAPPED_RECORDS
  if (p != nullptr && mapped(old_bytes)) {
    void* q = ::mremap(p, old_bytes, bytes, MREMAP_MAYMOVE);
    if (q == MAP_FAILED) throw std::bad_alloc();
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

// An ordered list of 32-bit values in 4 + 4N bytes: up to N inline; longer
// lists live on the heap in one block, whose address takes the inline words.
// The block's capacity is not stored: it is at least max(2N, bit_ceil(size))
// (the size's top bit says whether the list is on the heap), so a list that
// shrank below a power of two and grows again may reallocate early, never
// late. A list that went to the heap stays there until reset.
template <unsigned N>
class SlotList {
  static_assert(N >= 2, "the inline words must hold a pointer");

 public:
  SlotList() = default;
  SlotList(const SlotList&) = delete;
  SlotList& operator=(const SlotList&) = delete;
  SlotList(SlotList&& o) noexcept : size_(o.size_) {
    std::memcpy(words_, o.words_, sizeof(words_));
    o.size_ = 0;
  }
  SlotList& operator=(SlotList&& o) noexcept {
    if (this != &o) {
      release();
      size_ = o.size_;
      std::memcpy(words_, o.words_, sizeof(words_));
      o.size_ = 0;
    }
    return *this;
  }
  ~SlotList() { release(); }

  uint32_t size() const { return size_ & kSizeMask; }
  bool empty() const { return size() == 0; }
  const uint32_t* begin() const { return on_heap() ? heap() : words_; }
  const uint32_t* end() const { return begin() + size(); }
  uint32_t operator[](uint32_t i) const { return begin()[i]; }

  void push_back(uint32_t value) {
    const uint32_t n = size();
    if (!on_heap()) {
      if (n < N) {
        words_[n] = value;
        ++size_;
        return;
      }
      spill();
    } else if (n >= 2 * N && (n & (n - 1)) == 0) {
      regrow(n);
    }
    heap()[n] = value;
    ++size_;
  }
  // Removes the first occurrence of `value`, keeping the order of the rest.
  void erase_one(uint32_t value) {
    uint32_t* d = data();
    const uint32_t n = size();
    for (uint32_t i = 0; i < n; ++i) {
      if (d[i] == value) {
        // Lists are short: a plain shift beats a call to memmove.
        for (; i + 1 < n; ++i) d[i] = d[i + 1];
        --size_;
        return;
      }
    }
  }
  // Removes every occurrence of `value`, keeping the order of the rest.
  void erase_all(uint32_t value) {
    uint32_t* d = data();
    const uint32_t n = size();
    uint32_t out = 0;
    for (uint32_t i = 0; i < n; ++i) {
      if (d[i] != value) d[out++] = d[i];
    }
    size_ = (size_ & kHeapBit) | out;
  }
  // Empties the list and gives heap storage back.
  void reset() {
    release();
    size_ = 0;
  }
  // A lower bound of the heap block's size (its capacity is not kept).
  std::size_t heap_bytes() const {
    return on_heap() ? std::max<std::size_t>(2 * N, std::bit_ceil(size())) * sizeof(uint32_t) : 0;
  }

 private:
  static constexpr uint32_t kHeapBit = uint32_t{1} << 31;
  static constexpr uint32_t kSizeMask = kHeapBit - 1;

  bool on_heap() const { return (size_ & kHeapBit) != 0; }
  uint32_t* heap() const {
    uint32_t* p;
    std::memcpy(&p, words_, sizeof(p));
    return p;
  }
  void set_heap(uint32_t* p) { std::memcpy(words_, &p, sizeof(p)); }
  uint32_t* data() { return on_heap() ? heap() : words_; }
  // The inline words move to a block of 2N.
  [[gnu::noinline]] void spill() {
    uint32_t* block = new uint32_t[2 * N];
    std::memcpy(block, words_, N * sizeof(uint32_t));
    set_heap(block);
    size_ |= kHeapBit;
  }
  // A full block of n (a power of two) moves to one of 2n.
  [[gnu::noinline]] void regrow(uint32_t n) {
    if (n >= (kSizeMask >> 1) + 1) throw std::length_error("an incidence list of 2^31 entries");
    uint32_t* block = new uint32_t[std::size_t{n} * 2];
    uint32_t* old = heap();
    std::memcpy(block, old, n * sizeof(uint32_t));
    delete[] old;
    set_heap(block);
  }
  void release() {
    if (on_heap()) delete[] heap();
    size_ &= kSizeMask;
  }

  uint32_t size_ = 0;
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
    if (size_ == capacity_) [[unlikely]] grow();
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
    data_ = static_cast<uint32_t*>(
        block::grow(data_, capacity_ * sizeof(uint32_t), capacity * sizeof(uint32_t), size_ * sizeof(uint32_t)));
    capacity_ = capacity;
  }

  uint32_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vorn
