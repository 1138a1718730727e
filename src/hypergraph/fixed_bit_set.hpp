// FixedBitSet: a bit set with a length in bits that only grows.
//
// Contract: bits below `length()` may be set, none beyond; `contains(i)` is
// false for i >= length; `grow(n)` only lengthens; `union_with` first grows to
// the other's length. Only this contract is observable.
//
// Representation: empty, a single index held inline (the common case: a new
// vertex's own bit), or a persistent radix tree of 512-bit leaves with
// reference-counted nodes shared between sets. Memory follows the set bits (never the
// length, which may be any 64-bit value), a copy costs O(1), and a union keeps
// the nodes of either side wherever they already hold the result, so sets that
// are nearly equal share nearly all their storage. Nodes are never changed
// while shared (copy on write).
//
// Reference counts are not atomic: a set and its copies must stay on one
// thread at a time, which holds because they never leave their engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn {

class FixedBitSet {
 public:
  FixedBitSet() = default;
  static FixedBitSet with_capacity(uint64_t length);

  FixedBitSet(const FixedBitSet& other);
  FixedBitSet(FixedBitSet&& other) noexcept;
  FixedBitSet& operator=(const FixedBitSet& other);
  FixedBitSet& operator=(FixedBitSet&& other) noexcept;
  ~FixedBitSet();

  uint64_t length() const { return length_; }
  void grow(uint64_t length);
  // Precondition: i < length().
  void insert(uint64_t i);
  bool contains(uint64_t i) const;
  void remove(uint64_t i);
  void union_with(const FixedBitSet& other);
  // The set bits in ascending order.
  std::vector<uint64_t> ones() const;
  // Calls f(i) for every set bit in ascending order.
  template <class F>
  void for_each_one(F&& f) const;
  void clear();
  // Number of set bits.
  uint64_t count() const;
  bool operator==(const FixedBitSet& other) const;

  struct Node;

 private:
  static constexpr uint32_t kSingle = ~uint32_t{0};
  bool single() const { return height_ == kSingle; }
  // Turns the inline index into a tree.
  void to_tree();
  void release_tree();

  union {
    Node* root_ = nullptr;  // the tree, or null when empty
    uint64_t single_;       // the only index, when height_ == kSingle
  };
  // Height of the tree: a tree of height h holds indices below 2^(9 + 3h).
  uint32_t height_ = 0;
  uint64_t length_ = 0;

  template <class F>
  static void visit(const Node* node, uint32_t height, uint64_t base, F& f);
};

// Node layout: a leaf holds 8 words (512 bits), an inner node 8 children.
struct FixedBitSet::Node {
  uint32_t refs;
  union {
    uint64_t words[8];
    Node* kids[8];
  };
};

inline constexpr uint32_t kLeafBits = 9;    // 512 bits per leaf
inline constexpr uint32_t kFanoutBits = 3;  // 8 children per inner node

template <class F>
void FixedBitSet::visit(const Node* node, uint32_t height, uint64_t base, F& f) {
  if (height == 0) {
    for (uint32_t w = 0; w < 8; ++w) {
      uint64_t word = node->words[w];
      while (word != 0) {
        f(base + w * 64 + static_cast<uint64_t>(__builtin_ctzll(word)));
        word &= word - 1;
      }
    }
    return;
  }
  const uint32_t shift = kLeafBits + kFanoutBits * (height - 1);
  for (uint32_t k = 0; k < 8; ++k) {
    if (node->kids[k] != nullptr) {
      visit(node->kids[k], height - 1, base + (static_cast<uint64_t>(k) << shift), f);
    }
  }
}

template <class F>
void FixedBitSet::for_each_one(F&& f) const {
  if (single()) {
    f(single_);
  } else if (root_ != nullptr) {
    visit(root_, height_, 0, f);
  }
}

}  // namespace vorn
