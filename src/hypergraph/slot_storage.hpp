// Storage for the store's records: a contiguous array of records, and a
// small list of 32-bit slots with inline room that spills to the heap only
// when it outgrows it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vorn {

// Records addressed by a dense 32-bit index, in one contiguous block (an
// access is one indexed load; growth moves the records, amortised O(1)).
template <class T>
class RecordArray {
 public:
  T& operator[](uint32_t i) { return items_[i]; }
  const T& operator[](uint32_t i) const { return items_[i]; }
  uint32_t size() const { return static_cast<uint32_t>(items_.size()); }
  // Appends a default record and returns its index.
  uint32_t grow() {
    if (items_.size() == UINT32_MAX) throw std::length_error("more than 2^32 - 1 records in one store");
    items_.emplace_back();
    return static_cast<uint32_t>(items_.size() - 1);
  }
  std::size_t reserved_bytes() const { return items_.capacity() * sizeof(T); }

 private:
  std::vector<T> items_;
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

}  // namespace vorn
