// Storage for the store's records: a contiguous array of records, and a
// small list of 32-bit slots with inline room that spills to the heap only
// when it outgrows it.
#pragma once

#include <algorithm>
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

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vorn {

// Where RecordArray keeps its records on Linux: whole pages from the kernel,
// so that a larger block is the same pages remapped (mremap), never a copy.
// (Under AddressSanitizer the records stay on its heap, where it checks them.)
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#define VORN_REMAPPED_RECORDS 1
#endif

// Records addressed by a dense 32-bit index, in one contiguous block (an
// access is one indexed load; growth is amortised O(1)). A record must be
// relocatable as bytes (nothing in it points into itself): growth moves the
// block as a whole, by remapping its pages or by one memcpy, instead of
// moving and destroying the records one by one (at 10^6 vertices that was
// a 64 MiB copy in the middle of a step).
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
  static constexpr std::size_t kPage = 4096;
  static constexpr std::align_val_t kAlign{alignof(T)};
  static_assert(kPage % alignof(T) == 0);
  static std::size_t bytes(uint32_t records) { return std::size_t{records} * sizeof(T); }

  void reallocate() {
    // Index kNoSlot is no record's.
    if (size_ == kNoSlot) throw std::length_error("more than 2^32 - 1 records in one store");
    const uint64_t wanted = capacity_ == 0 ? (kPage + sizeof(T) - 1) / sizeof(T) : uint64_t{capacity_} * 2;
    const auto capacity = static_cast<uint32_t>(std::min<uint64_t>(wanted, UINT32_MAX));
#ifdef VORN_REMAPPED_RECORDS
    void* block = MAP_FAILED;
    // As operator new does: on failure the new-handler may free memory and
    // the mapping is tried again; without one, std::bad_alloc.
    while ((block = items_ == nullptr ? ::mmap(nullptr, bytes(capacity), PROT_READ | PROT_WRITE,
                                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                      : ::mremap(items_, bytes(capacity_), bytes(capacity),
                                                 MREMAP_MAYMOVE)) == MAP_FAILED) {
      const std::new_handler handler = std::get_new_handler();
      if (handler == nullptr) throw std::bad_alloc();
      handler();
    }
    items_ = static_cast<T*>(block);
#else
    T* fresh = static_cast<T*>(::operator new(bytes(capacity), kAlign));
    if (size_ > 0) std::memcpy(static_cast<void*>(fresh), static_cast<const void*>(items_), bytes(size_));
    ::operator delete(items_, kAlign);  // the records live on in `fresh`
    items_ = fresh;
#endif
    capacity_ = capacity;
  }
  void release() {
    for (uint32_t i = 0; i < size_; ++i) items_[i].~T();
#ifdef VORN_REMAPPED_RECORDS
    if (items_ != nullptr) ::munmap(items_, bytes(capacity_));
#else
    ::operator delete(items_, kAlign);
#endif
    items_ = nullptr;
    size_ = capacity_ = 0;
  }

  T* items_ = nullptr;
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;
};

// An ordered list of 32-bit values with N inline; longer lists live on the
// heap in one block that grows by doubling.
template <unsigned N>
class SlotList {
 public:
  SlotList() = default;
  SlotList(const SlotList&) = delete;
  SlotList& operator=(const SlotList&) = delete;
  SlotList(SlotList&& o) noexcept : size_(o.size_), cap_(o.cap_) {
    std::memcpy(&u_, &o.u_, sizeof(u_));
    o.size_ = 0;
    o.cap_ = N;
  }
  SlotList& operator=(SlotList&& o) noexcept {
    if (this != &o) {
      release();
      size_ = o.size_;
      cap_ = o.cap_;
      std::memcpy(&u_, &o.u_, sizeof(u_));
      o.size_ = 0;
      o.cap_ = N;
    }
    return *this;
  }
  ~SlotList() { release(); }

  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint32_t* begin() const { return cap_ > N ? u_.heap : u_.inl; }
  const uint32_t* end() const { return begin() + size_; }
  uint32_t operator[](uint32_t i) const { return begin()[i]; }

  void push_back(uint32_t value) {
    if (size_ == cap_) {
      const uint32_t cap = cap_ * 2;
      uint32_t* heap = new uint32_t[cap];
      std::memcpy(heap, begin(), size_ * sizeof(uint32_t));
      release();
      u_.heap = heap;
      cap_ = cap;
    }
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
  // Empties the list and gives heap storage back.
  void reset() {
    release();
    size_ = 0;
  }
  std::size_t heap_bytes() const { return cap_ > N ? cap_ * sizeof(uint32_t) : 0; }

 private:
  uint32_t* data() { return cap_ > N ? u_.heap : u_.inl; }
  void release() {
    if (cap_ > N) delete[] u_.heap;
    cap_ = N;
  }

  uint32_t size_ = 0;
  uint32_t cap_ = N;
  union U {
    uint32_t inl[N];
    uint32_t* heap;
  } u_{};
};

// A growable array of 32-bit slots (the store's live-vertex list and free
// lists). Appending is written out here so that the step's few appends are
// inlined where they occur: std::vector<uint32_t>::push_back is one function
// shared with every other use of that type in the library, which the
// optimiser may keep out of line (about 20 instructions a call). Growth
// doubles and stays out of line.
class SlotStack {
 public:
  SlotStack() = default;
  SlotStack(SlotStack&& o) noexcept = default;
  SlotStack& operator=(SlotStack&& o) noexcept = default;

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
  const uint32_t* begin() const { return data_.get(); }
  const uint32_t* end() const { return data_.get() + size_; }
  operator std::span<const uint32_t>() const { return {data_.get(), size_}; }

 private:
  [[gnu::noinline]] void grow() {
    const std::size_t capacity = capacity_ == 0 ? 16 : capacity_ * 2;
    auto data = std::make_unique_for_overwrite<uint32_t[]>(capacity);
    if (size_ != 0) std::memcpy(data.get(), data_.get(), size_ * sizeof(uint32_t));
    data_ = std::move(data);
    capacity_ = capacity;
  }

  std::unique_ptr<uint32_t[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vorn
