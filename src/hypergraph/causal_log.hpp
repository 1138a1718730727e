// CausalLog: the compact, append-only record of the operations on the causal
// relation that have not been propagated yet, in the order they were made.
//
// Encoding: one tag byte per entry (kind in the low three bits, flags above),
// then LEB128 varints. Vertex ids are written as zig-zag deltas from the id
// of the last vertex created through the log, and an id equal to it is a flag
// with no bytes at all, so a growth step (a new vertex and the relations that
// reach it) costs about 20 bytes. The causal horizon and the bitset capacity
// are written only when they change. Entries never straddle a chunk, and
// chunks are fixed-size, so the log grows without copying and without the
// slack of a doubling vector.
//
// Invariants: reading the entries back in order yields exactly what was
// appended, with the settings in force for each; `mark_undone` flags a step
// entry in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vorn {

class CausalLog {
 public:
  enum class Kind : uint8_t { create, relate, remove, drop, step, undo, end };

  struct Entry {
    Kind kind;
    uint64_t a = 0;         // create, remove, drop: the vertex; relate: the cause
    uint64_t b = 0;         // relate: the effect
    uint64_t horizon = 0;   // relate: the horizon in force
    uint64_t capacity = 0;  // create, relate: the bitset capacity in force
    bool undone = false;    // step: an undo of this step follows
    std::size_t position = 0;  // the entry's position (for `is_last_step`)
  };

  void create(uint64_t v, uint64_t capacity);
  void relate(uint64_t a, uint64_t b, uint64_t horizon, uint64_t capacity);
  void remove(uint64_t v);
  void drop(uint64_t v);
  void step();
  void undo();
  // Closes the current step: later entries do not belong to it.
  void end();
  // Flags the most recent step entry as undone, when the log still holds it.
  void mark_last_step_undone();

  // Whether `entry` is the most recent step entry in the log.
  bool is_last_step(const Entry& entry) const {
    return entry.kind == Kind::step && has_last_step_ && entry.position == last_step_;
  }
  bool empty() const { return size_ == 0; }
  std::size_t bytes() const { return size_; }
  // Bytes reserved, for memory accounting.
  std::size_t capacity_bytes() const { return chunks_.size() * kChunkSize; }

  // Calls f(entry) for the entries in order until f returns false; the
  // entries passed to f leave the log (a later call goes on after them).
  // Returns true when the log is empty afterwards.
  template <class F>
  bool consume(F&& f);

 private:
  static constexpr std::size_t kChunkSize = std::size_t{1} << 16;
  static constexpr std::size_t kMaxEntry = 1 + 3 * 10;  // tag + three varints
  enum Flag : uint8_t { kARef = 8, kBRef = 16, kNext = 8, kUndone = 8, kSettings = 32 };

  void new_chunk();
  uint8_t* reserve(std::size_t n) {
    if (used_in_last_ + n > kChunkSize) new_chunk();
    return write_ + used_in_last_;
  }
  void commit(uint8_t* start, uint8_t* out) {
    const auto n = static_cast<std::size_t>(out - start);
    used_in_last_ += n;
    size_ += n;
    ++position_;
  }
  static void put_varint(uint8_t*& out, uint64_t v) {
    while (v >= 0x80) {
      *out++ = static_cast<uint8_t>(v | 0x80);
      v >>= 7;
    }
    *out++ = static_cast<uint8_t>(v);
  }
  void put_id(uint8_t*& out, uint64_t id) const {
    const uint64_t delta = id - ref_;  // modulo 2^64
    put_varint(out, (delta << 1) ^ static_cast<uint64_t>(static_cast<int64_t>(delta) >> 63));
  }
  void vertex_entry(Kind kind, uint64_t v);
  void tag_only(Kind kind);
  // Drops every entry; the settings and the id reference of the encoder are
  // kept (they describe the state the entries were encoded against, which
  // the reader reproduces on its own).
  void clear();
  // Drops the first `chunks` chunks and the first `offset` bytes of the next
  // one, which the reader has passed with the given state.
  void drop_front(std::size_t chunks, std::size_t offset, std::size_t bytes, uint64_t ref,
                  uint64_t horizon, uint64_t capacity, std::size_t position);

  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  uint8_t* write_ = nullptr;               // the last chunk
  std::size_t used_in_last_ = kChunkSize;  // bytes used in the last chunk
  std::size_t size_ = 0;                   // bytes in all entries
  std::size_t position_ = 0;               // entries appended since the last clear
  std::size_t head_ = 0;                   // where the first chunk's entries start
  std::size_t read_position_ = 0;          // the position of the first entry
  // Encoder state, mirrored by the reader.
  uint64_t ref_ = 0;
  uint64_t horizon_ = 0;
  uint64_t capacity_ = 0;
  // Where the most recent step entry lies.
  bool has_last_step_ = false;
  std::size_t last_step_ = 0;
  uint8_t* last_step_tag_ = nullptr;
  // Reader's starting state: the encoder state at the last clear.
  uint64_t start_ref_ = 0;
  uint64_t start_horizon_ = 0;
  uint64_t start_capacity_ = 0;
};

inline void CausalLog::create(uint64_t v, uint64_t capacity) {
  uint8_t* start = reserve(kMaxEntry);
  uint8_t* out = start + 1;
  uint8_t tag = static_cast<uint8_t>(Kind::create);
  if (capacity != capacity_) {
    tag |= kSettings;
    put_varint(out, capacity);
    capacity_ = capacity;
  }
  if (v == ref_ + 1) {
    tag |= kNext;
  } else {
    put_id(out, v);
  }
  ref_ = v;
  *start = tag;
  commit(start, out);
}

inline void CausalLog::relate(uint64_t a, uint64_t b, uint64_t horizon, uint64_t capacity) {
  uint8_t* start = reserve(kMaxEntry);
  uint8_t* out = start + 1;
  uint8_t tag = static_cast<uint8_t>(Kind::relate);
  if (horizon != horizon_ || capacity != capacity_) {
    tag |= kSettings;
    put_varint(out, horizon);
    put_varint(out, capacity);
    horizon_ = horizon;
    capacity_ = capacity;
  }
  if (a == ref_) {
    tag |= kARef;
  } else {
    put_id(out, a);
  }
  if (b == ref_) {
    tag |= kBRef;
  } else {
    put_id(out, b);
  }
  *start = tag;
  commit(start, out);
}

inline void CausalLog::vertex_entry(Kind kind, uint64_t v) {
  uint8_t* start = reserve(kMaxEntry);
  uint8_t* out = start + 1;
  uint8_t tag = static_cast<uint8_t>(kind);
  if (v == ref_) {
    tag |= kARef;
  } else {
    put_id(out, v);
  }
  *start = tag;
  commit(start, out);
}

inline void CausalLog::remove(uint64_t v) { vertex_entry(Kind::remove, v); }

inline void CausalLog::drop(uint64_t v) { vertex_entry(Kind::drop, v); }

template <class F>
bool CausalLog::consume(F&& f) {
  uint64_t ref = start_ref_, horizon = start_horizon_, capacity = start_capacity_;
  std::size_t position = read_position_;
  std::size_t consumed = 0;
  for (std::size_t c = 0; c < chunks_.size(); ++c) {
    const uint8_t* const first = chunks_[c].get();
    const uint8_t* p = first + (c == 0 ? head_ : 0);
    const uint8_t* end = first + (c + 1 == chunks_.size() ? used_in_last_ : kChunkSize);
    while (p < end) {
      const uint8_t* const entry_start = p;
      const uint8_t tag = *p++;
      if (tag == 0xff) break;  // the unused tail of a chunk
      const auto varint = [&p] {
        uint64_t v = 0;
        for (unsigned shift = 0;; shift += 7) {
          const uint8_t byte = *p++;
          v |= uint64_t{byte & 0x7fu} << shift;
          if ((byte & 0x80u) == 0) return v;
        }
      };
      const auto id = [&] {
        const uint64_t z = varint();
        return ref + ((z >> 1) ^ (~(z & 1) + 1));
      };
      Entry e;
      e.kind = static_cast<Kind>(tag & 7u);
      e.position = position++;
      if ((tag & kSettings) != 0) {
        if (e.kind == Kind::relate) horizon = varint();
        capacity = varint();
      }
      switch (e.kind) {
        case Kind::create:
          e.a = (tag & kNext) != 0 ? ref + 1 : id();
          ref = e.a;
          e.capacity = capacity;
          break;
        case Kind::relate:
          e.a = (tag & kARef) != 0 ? ref : id();
          e.b = (tag & kBRef) != 0 ? ref : id();
          e.horizon = horizon;
          e.capacity = capacity;
          break;
        case Kind::remove:
        case Kind::drop:
          e.a = (tag & kARef) != 0 ? ref : id();
          break;
        case Kind::step:
          e.undone = (tag & kUndone) != 0;
          break;
        case Kind::undo:
        case Kind::end:
          break;
      }
      consumed += static_cast<std::size_t>(p - entry_start);
      if (!f(static_cast<const Entry&>(e)) && consumed < size_) {
        drop_front(c, static_cast<std::size_t>(p - first), consumed, ref, horizon, capacity,
                   position);
        return false;
      }
    }
  }
  clear();
  return true;
}

}  // namespace vorn
