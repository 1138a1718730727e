// CausalList: the ordered, duplicate-free list of a vertex's direct causes or
// effects. Lists only grow by appending, and undo snapshots copy them, so a
// list is a view of a prefix of shared, reference-counted storage: a copy
// costs O(1), appending at the end of the storage does not disturb other
// views (they see a shorter prefix), and only appending to a view that is
// not at the end of a shared storage copies the prefix first.
//
// Invariants: items are unique within a view; `max_` is the largest item of
// the view (meaningless when empty). An append of an id above `max_` needs
// no membership scan, which is the common case: new vertices have the
// largest ids.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <utility>
#include <vector>

namespace vorn {

class CausalList {
 public:
  CausalList() = default;
  CausalList(std::initializer_list<uint64_t> items) {
    for (uint64_t id : items) append_unique(id);
  }
  CausalList(const CausalList& other) : data_(other.data_), size_(other.size_), max_(other.max_) {
    if (data_ != nullptr) ++data_->refs;
  }
  CausalList(CausalList&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        max_(std::exchange(other.max_, 0)) {}
  CausalList& operator=(CausalList other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(max_, other.max_);
    return *this;
  }
  ~CausalList() { drop(); }

  // Appends `id` unless the list holds it already.
  void append_unique(uint64_t id) {
    if (size_ > 0 && id <= max_ && contains(id)) return;
    if (data_ == nullptr) {
      data_ = new Storage;
    } else if (data_->items.size() != size_) {
      if (data_->refs == 1) {
        data_->items.resize(size_);  // nobody else sees the tail
      } else {
        Storage* copy = new Storage;
        copy->items.assign(data_->items.begin(), data_->items.begin() + size_);
        drop();
        data_ = copy;
      }
    }
    data_->items.push_back(id);
    max_ = size_ == 0 ? id : std::max(max_, id);
    ++size_;
  }

  bool contains(uint64_t id) const { return std::find(begin(), end(), id) != end(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint64_t* begin() const { return data_ == nullptr ? nullptr : data_->items.data(); }
  const uint64_t* end() const { return begin() + size_; }
  std::vector<uint64_t> items() const { return std::vector<uint64_t>(begin(), end()); }
  operator std::vector<uint64_t>() const { return items(); }

  bool operator==(const CausalList& other) const {
    return std::equal(begin(), end(), other.begin(), other.end());
  }
  bool operator==(const std::vector<uint64_t>& other) const {
    return std::equal(begin(), end(), other.begin(), other.end());
  }

 private:
  struct Storage {
    uint32_t refs = 1;
    std::vector<uint64_t> items;
  };
  void drop() {
    if (data_ != nullptr && --data_->refs == 0) delete data_;
    data_ = nullptr;
  }

  Storage* data_ = nullptr;
  std::size_t size_ = 0;
  uint64_t max_ = 0;
};

// Printed as "[a, b, ...]" (test messages).
inline std::ostream& operator<<(std::ostream& out, const CausalList& list) {
  out << '[';
  for (std::size_t i = 0; i < list.size(); ++i) out << (i ? ", " : "") << list.begin()[i];
  return out << ']';
}

}  // namespace vorn
