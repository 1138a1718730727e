// Matching a rule's left-hand side around an anchor vertex by backtracking.
//
// The search binds variables in index order, variable 0 to the anchor
// without a test. Each candidate for variable t passes, before it is bound,
// injectivity, the degree test (at least as many incidence entries as t has
// occurrences) and the two counting look-aheads, and after it is bound the
// cover test of the patterns it completes; under DPO a complete assignment
// must pass the dangling check. A candidate these reject is never tried.
// Candidates for t are the unbound vertices on the hyperedges of the bound
// ones when t shares a pattern with a bound variable, and every vertex
// otherwise; the order in which they are tried is unspecified (here: each
// bound vertex's incidence list, or the live-vertex list, from a scrambled
// starting point; see `find`).
//
// Nothing is allocated per search once the scratch buffers have grown: the
// per-level sets are small open-addressing tables reset by a generation
// count, and candidates are enumerated straight from the incidence lists.
#pragma once

#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

#include "grammar/rewrite_rule.hpp"
#include "hypergraph/hypergraph.hpp"

namespace vorn {

// A set of 32-bit slots, open addressing; clear() costs O(1) amortised.
class SlotSet {
 public:
  void clear();
  // True when `s` was not in the set.
  bool insert(uint32_t s);
  bool contains(uint32_t s) const;
  void erase(uint32_t s);
  uint32_t size() const { return size_; }

 private:
  static constexpr uint32_t kTombstone = UINT32_MAX;
  struct Cell {
    uint32_t generation = 0;
    uint32_t key = 0;
  };
  void rehash(std::size_t capacity);
  std::vector<Cell> cells_;
  uint32_t generation_ = 1;
  uint32_t size_ = 0;
  uint32_t occupied_ = 0;  // live keys and tombstones
};

// The bindings of a match: per variable of the rule (left-hand side first,
// then right-hand-side-only ones, which application binds), a vertex slot.
// After a successful search the left-hand-side ones hold the match; the
// others hold nothing meaningful until application sets them.
struct MatchState {
  std::vector<Slot> binding;
  std::vector<Slot> scratch;  // application's buffer, kept between steps
};

class Matcher {
 public:
  // A match of the rule's left-hand side with variable 0 bound to `anchor`
  // (kNoSlot when the graph has no live vertex), written into `match`. An
  // empty left-hand side matches everywhere; a non-empty one never matches
  // at an anchor that is no live vertex.
  //
  // `salt` scrambles the order in which candidates are tried: each level
  // walks each bound vertex's incidence list (and the live-vertex list) from
  // a starting point hashed from the salt, the level and the vertex's slot,
  // so that no edge age is favoured while the order stays a function of the
  // store and the salt alone. The engine passes its step count.
  bool find(const RewriteRule& rule, const Hypergraph& graph, Slot anchor, bool dpo, MatchState& match,
            uint64_t salt = 0);

 private:
  // One level's scratch, reused by every search.
  struct Level {
    SlotSet seen;  // candidates enumerated at this level, beyond `few`
    Slot few[8];   // the first ones
    uint32_t few_count = 0;
    void forget() {
      if (few_count == std::size(few)) seen.clear();
      few_count = 0;
    }
    bool first_time(Slot x) {
      for (uint32_t i = 0; i < few_count; ++i) {
        if (few[i] == x) return false;
      }
      if (few_count < std::size(few)) {
        few[few_count++] = x;
        return true;
      }
      return seen.insert(x);
    }
    SlotSet candidates;       // the candidate set, when a look-ahead needs it
    SlotSet around;           // one candidate's distinct neighbours
    std::vector<Slot> image;  // a long pattern's image, for a cover test
  };
  bool search(std::size_t t);
  // Tries c for variable t; `via` is a hyperedge on a bound vertex's
  // incidence list that holds c (kNoSlot when c came from the vertex list).
  [[gnu::always_inline]] inline bool attempt(std::size_t t, const LhsVariable& facts, Slot c, EdgeSlot via,
                                             Level& level);
  bool used(Slot s, std::size_t t) const;
  bool dangling_check();
  // Whether a complete assignment is a match (under DPO: the dangling check).
  bool complete() { return !dpo_ || rule_->deleted.empty() || dangling_check(); }
  bool look_ahead(std::size_t t, const LhsVariable& facts, Slot c, Level& level);

  const RewriteRule* rule_ = nullptr;
  const Hypergraph* graph_ = nullptr;
  Slot* binding_ = nullptr;  // the match's bindings (not resized during a search)
  std::size_t n_ = 0;
  bool dpo_ = true;
  uint64_t salt_ = 0;
  SlotSet used_;  // the bound vertices, kept only for wide rules
  std::vector<Level> levels_;
  std::vector<EdgeSlot> matched_;
};

// Whether the image is covered: some hyperedge on the first image vertex's
// incidence list at least as long as the image contains every image vertex.
// An empty image is never covered.
bool image_covered(const Hypergraph& graph, std::span<const Slot> image);

}  // namespace vorn
