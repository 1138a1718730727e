// Storage for the store's records: a paged array that grows without moving
// or copying what it holds (no doubling slack, no transient double size), and
// a small list of 32-bit slots with inline room that spills to the heap only
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

// Records addressed by a dense 32-bit index; elements never move.
template <class T, unsigned kPageBits = 12>
class PagedArray {
 public:
  static constexpr uint32_t kPageSize = uint32_t{1} << kPageBits;

  T& operator[](uint32_t i) { return pages_[i >> kPageBits][i & (kPageSize - 1)]; }
  const T& operator[](uint32_t i) const { return pages_[i >> kPageBits][i & (kPageSize - 1)]; }
  uint32_t size() const { return size_; }
  // Appends a default record and returns its index.
  uint32_t grow() {
    if (size_ == UINT32_MAX) throw std::length_error("more than 2^32 - 1 records in one store");
    if ((size_ & (kPageSize - 1)) == 0 && (size_ >> kPageBits) == pages_.size()) {
      pages_.push_back(std::make_unique<T[]>(kPageSize));
    }
    return size_++;
  }
  std::size_t reserved_bytes() const { return pages_.size() * kPageSize * sizeof(T); }

 private:
  std::vector<std::unique_ptr<T[]>> pages_;
  uint32_t size_ = 0;
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
