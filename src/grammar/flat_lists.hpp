// FlatLists: a sequence of short lists of 32-bit values in one block.
//
// Invariant: list i is items[begin[i] .. begin[i + 1]); `begin` starts at 0,
// never decreases and ends at items.size(). Built whole, read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "hypergraph/assert.hpp"

namespace vorn {

class FlatLists {
 public:
  FlatLists() = default;
  // From the lists' bounds and their items laid end to end.
  FlatLists(std::vector<uint32_t> begin, std::vector<uint32_t> items)
      : begin_(std::move(begin)), items_(std::move(items)) {
    VORN_ASSERT(!begin_.empty() && begin_.front() == 0 && begin_.back() == items_.size());
  }
  // The given lists, in order.
  template <class Lists>
  static FlatLists of(const Lists& lists) {
    std::vector<uint32_t> begin{0};
    std::vector<uint32_t> items;
    for (const auto& list : lists) {
      for (const auto x : list) items.push_back(static_cast<uint32_t>(x));
      begin.push_back(static_cast<uint32_t>(items.size()));
    }
    return FlatLists(std::move(begin), std::move(items));
  }

  std::size_t size() const { return begin_.size() - 1; }
  bool empty() const { return size() == 0; }
  std::span<const uint32_t> operator[](std::size_t i) const {
    VORN_ASSERT(i < size());
    return {items_.data() + begin_[i], begin_[i + 1] - begin_[i]};
  }
  // All items, list after list.
  std::span<const uint32_t> items() const { return items_; }

  // Iteration over the lists (each a span).
  class Iterator {
   public:
    using value_type = std::span<const uint32_t>;
    using difference_type = std::ptrdiff_t;
    Iterator() = default;
    Iterator(const FlatLists* lists, std::size_t i) : lists_(lists), i_(i) {}
    value_type operator*() const { return (*lists_)[i_]; }
    Iterator& operator++() {
      ++i_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator old = *this;
      ++i_;
      return old;
    }
    bool operator==(const Iterator& other) const { return i_ == other.i_; }

   private:
    const FlatLists* lists_ = nullptr;
    std::size_t i_ = 0;
  };
  Iterator begin() const { return {this, 0}; }
  Iterator end() const { return {this, size()}; }

 private:
  std::vector<uint32_t> begin_{0};
  std::vector<uint32_t> items_;
};

}  // namespace vorn
