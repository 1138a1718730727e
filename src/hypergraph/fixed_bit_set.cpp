#include "hypergraph/fixed_bit_set.hpp"

#include <cstring>
#include <utility>

#include "hypergraph/assert.hpp"

namespace vorn {

using Node = FixedBitSet::Node;

namespace {

// Number of index bits a tree of height h covers, capped at 64.
constexpr uint32_t covered_bits(uint32_t height) {
  const uint32_t bits = kLeafBits + kFanoutBits * height;
  return bits > 64 ? 64 : bits;
}

bool fits(uint64_t i, uint32_t height) {
  const uint32_t bits = covered_bits(height);
  return bits == 64 || (i >> bits) == 0;
}

uint32_t child_slot(uint64_t i, uint32_t height) {
  return static_cast<uint32_t>((i >> (kLeafBits + kFanoutBits * (height - 1))) & 7u);
}

Node* new_node() {
  Node* n = new Node;
  n->refs = 1;
  std::memset(n->words, 0, sizeof(n->words));
  return n;
}

Node* retain(Node* n) {
  if (n != nullptr) ++n->refs;
  return n;
}

void release(Node* n, uint32_t height) {
  if (n == nullptr || --n->refs != 0) return;
  if (height > 0) {
    for (Node* kid : n->kids) release(kid, height - 1);
  }
  delete n;
}

// A node that the caller may change: `n` itself when unshared, otherwise a
// fresh copy (the caller's reference to the shared node is given up).
Node* make_unique(Node* n, uint32_t height) {
  if (n->refs == 1) return n;
  Node* copy = new_node();
  if (height == 0) {
    std::memcpy(copy->words, n->words, sizeof(n->words));
  } else {
    for (uint32_t k = 0; k < 8; ++k) copy->kids[k] = retain(n->kids[k]);
  }
  --n->refs;
  return copy;
}

bool node_empty(const Node* n, uint32_t height) {
  if (height == 0) {
    for (uint64_t w : n->words) {
      if (w != 0) return false;
    }
    return true;
  }
  for (const Node* kid : n->kids) {
    if (kid != nullptr) return false;
  }
  return true;
}

bool tree_contains(const Node* n, uint64_t i, uint32_t height) {
  for (uint32_t h = height; h > 0 && n != nullptr; --h) n = n->kids[child_slot(i, h)];
  return n != nullptr && ((n->words[(i >> 6) & 7u] >> (i & 63u)) & 1u) != 0;
}

// Sets bit i below `n` (an owned reference, which may be null) and returns
// the owned result.
Node* insert_into(Node* n, uint64_t i, uint32_t height) {
  n = (n == nullptr) ? new_node() : make_unique(n, height);
  if (height == 0) {
    n->words[(i >> 6) & 7u] |= uint64_t{1} << (i & 63u);
  } else {
    const uint32_t k = child_slot(i, height);
    n->kids[k] = insert_into(n->kids[k], i, height - 1);
  }
  return n;
}

// Clears bit i below `n` (owned, non-null) where it is set; prunes nodes that
// become empty and returns the owned result (null when nothing is left).
Node* remove_from(Node* n, uint64_t i, uint32_t height) {
  n = make_unique(n, height);
  if (height == 0) {
    n->words[(i >> 6) & 7u] &= ~(uint64_t{1} << (i & 63u));
  } else {
    const uint32_t k = child_slot(i, height);
    n->kids[k] = remove_from(n->kids[k], i, height - 1);
  }
  if (node_empty(n, height)) {
    delete n;  // unique here, and every child is already gone
    return nullptr;
  }
  return n;
}

// The union of `a` (an owned reference, consumed) and `b` (borrowed), both of
// the given height, as an owned reference. Keeps `a` or `b` wherever one of
// them already holds the union, so shared subtrees stay shared.
Node* unite(Node* a, Node* b, uint32_t height) {
  if (b == nullptr || a == b) return a;
  if (a == nullptr) return retain(b);
  if (height == 0) {
    bool a_holds = true;
    bool b_holds = true;
    for (uint32_t w = 0; w < 8; ++w) {
      const uint64_t both = a->words[w] | b->words[w];
      a_holds = a_holds && both == a->words[w];
      b_holds = b_holds && both == b->words[w];
    }
    if (a_holds) return a;
    if (b_holds) {
      release(a, 0);
      return retain(b);
    }
    a = make_unique(a, 0);
    for (uint32_t w = 0; w < 8; ++w) a->words[w] |= b->words[w];
    return a;
  }
  if (a->refs == 1) {
    // Unshared: unite the children in place.
    bool b_holds = true;
    for (uint32_t k = 0; k < 8; ++k) {
      a->kids[k] = unite(a->kids[k], b->kids[k], height - 1);
      b_holds = b_holds && a->kids[k] == b->kids[k];
    }
    if (b_holds) {
      release(a, height);
      return retain(b);
    }
    return a;
  }
  Node* kids[8];
  bool a_holds = true;
  bool b_holds = true;
  for (uint32_t k = 0; k < 8; ++k) {
    kids[k] = unite(retain(a->kids[k]), b->kids[k], height - 1);
    a_holds = a_holds && kids[k] == a->kids[k];
    b_holds = b_holds && kids[k] == b->kids[k];
  }
  if (a_holds || b_holds) {
    for (uint32_t k = 0; k < 8; ++k) release(kids[k], height - 1);
    if (a_holds) return a;
    release(a, height);
    return retain(b);
  }
  a = make_unique(a, height);
  for (uint32_t k = 0; k < 8; ++k) {
    release(a->kids[k], height - 1);
    a->kids[k] = kids[k];
  }
  return a;
}

uint64_t count_node(const Node* n, uint32_t height) {
  if (n == nullptr) return 0;
  uint64_t total = 0;
  if (height == 0) {
    for (uint64_t w : n->words) total += static_cast<uint64_t>(__builtin_popcountll(w));
    return total;
  }
  for (const Node* kid : n->kids) total += count_node(kid, height - 1);
  return total;
}

}  // namespace

FixedBitSet FixedBitSet::with_capacity(uint64_t length) {
  FixedBitSet s;
  s.length_ = length;
  return s;
}

void FixedBitSet::release_tree() {
  if (!single()) release(root_, height_);
  root_ = nullptr;
  height_ = 0;
}

FixedBitSet::FixedBitSet(const FixedBitSet& other) : height_(other.height_), length_(other.length_) {
  if (other.single()) {
    single_ = other.single_;
  } else {
    root_ = retain(other.root_);
  }
}

FixedBitSet::FixedBitSet(FixedBitSet&& other) noexcept : height_(other.height_), length_(other.length_) {
  // Only the active member of the other's union is read.
  if (other.single()) {
    single_ = other.single_;
  } else {
    root_ = other.root_;
  }
  other.root_ = nullptr;
  other.height_ = 0;
  other.length_ = 0;
}

FixedBitSet& FixedBitSet::operator=(const FixedBitSet& other) {
  if (this != &other) {
    FixedBitSet copy(other);
    *this = std::move(copy);
  }
  return *this;
}

FixedBitSet& FixedBitSet::operator=(FixedBitSet&& other) noexcept {
  if (this != &other) {
    release_tree();
    if (other.single()) {
      single_ = other.single_;
    } else {
      root_ = other.root_;
    }
    height_ = other.height_;
    length_ = other.length_;
    other.root_ = nullptr;
    other.height_ = 0;
    other.length_ = 0;
  }
  return *this;
}

FixedBitSet::~FixedBitSet() { release_tree(); }

void FixedBitSet::grow(uint64_t length) {
  if (length > length_) length_ = length;
}

void FixedBitSet::to_tree() {
  const uint64_t i = single_;
  root_ = nullptr;
  height_ = 0;
  while (!fits(i, height_)) ++height_;
  root_ = insert_into(nullptr, i, height_);
}

void FixedBitSet::insert(uint64_t i) {
  VORN_ASSERT(i < length_);
  if (single()) {
    if (i == single_) return;
    to_tree();
  } else if (root_ == nullptr) {
    single_ = i;
    height_ = kSingle;
    return;
  }
  // A bit that is already there must not cost a copy of a shared path.
  if (fits(i, height_) && tree_contains(root_, i, height_)) return;
  while (!fits(i, height_)) {
    Node* parent = new_node();
    parent->kids[0] = root_;
    root_ = parent;
    ++height_;
  }
  root_ = insert_into(root_, i, height_);
}

bool FixedBitSet::contains(uint64_t i) const {
  if (i >= length_) return false;
  if (single()) return i == single_;
  if (root_ == nullptr || !fits(i, height_)) return false;
  return tree_contains(root_, i, height_);
}

void FixedBitSet::remove(uint64_t i) {
  if (!contains(i)) return;
  if (single()) {
    root_ = nullptr;
    height_ = 0;
    return;
  }
  root_ = remove_from(root_, i, height_);
  if (root_ == nullptr) height_ = 0;
}

void FixedBitSet::union_with(const FixedBitSet& other) {
  grow(other.length_);
  if (other.single()) {
    insert(other.single_);
    return;
  }
  if (other.root_ == nullptr || (!single() && other.root_ == root_)) return;
  if (single()) {
    // Adopt the other's tree and add the one index: shares its storage.
    const uint64_t mine = single_;
    root_ = retain(other.root_);
    height_ = other.height_;
    insert(mine);
    return;
  }
  if (root_ == nullptr) {
    root_ = retain(other.root_);
    height_ = other.height_;
    return;
  }
  while (height_ < other.height_) {
    Node* parent = new_node();
    parent->kids[0] = root_;
    root_ = parent;
    ++height_;
  }
  // Descend along slot 0 to the subtree of the other's height, copying the
  // path where it is shared, and unite there.
  Node** slot = &root_;
  for (uint32_t h = height_; h > other.height_; --h) {
    *slot = *slot == nullptr ? new_node() : make_unique(*slot, h);
    slot = &(*slot)->kids[0];
  }
  *slot = unite(*slot, other.root_, other.height_);
}

std::vector<uint64_t> FixedBitSet::ones() const {
  std::vector<uint64_t> out;
  for_each_one([&out](uint64_t i) { out.push_back(i); });
  return out;
}

void FixedBitSet::clear() { release_tree(); }

uint64_t FixedBitSet::count() const {
  if (single()) return 1;
  return count_node(root_, height_);
}

bool FixedBitSet::operator==(const FixedBitSet& other) const {
  return length_ == other.length_ && ones() == other.ones();
}

}  // namespace vorn
