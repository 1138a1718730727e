// CausalLog: the compact, append-only record of every operation on the
// causal relation, in the order they were made. The record is kept for good:
// a reader propagates it up to a cursor when the causal state is read, the
// relation as the rules recorded it is read from it in one pass, and a
// checkpoint saves it instead of the propagated state (which it determines).
//
// Encoding: one tag byte per entry (kind in the low three bits, flags above),
// then LEB128 varints. Vertex ids are written as zig-zag deltas from the id
// of the last vertex created through the log, and an id equal to it is a flag
// with no bytes at all, so a growth step (a new vertex and the relations that
// reach it) costs about 20 bytes. The causal horizon and the bitset capacity
// are written only when they change. Entries never straddle a chunk, and
// chunks are fixed-size, so the log grows without copying and without the
// slack of a doubling vector; a chunk's unused tail starts with 0xff.
//
// Invariants: reading the entries back in order yields exactly what was
// appended, with the settings in force for each; `mark_last_step_undone`
// flags a step entry in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

class CausalLog {
 public:
  enum class Kind : uint8_t { create, relate, remove, drop, step, undo, end };

  struct Entry {
    Kind kind;
    uint64_t a = 0;            // create, remove, drop: the vertex; relate: the cause
    uint64_t b = 0;            // relate: the effect
    uint64_t horizon = 0;      // relate: the horizon in force
    uint64_t capacity = 0;     // create, relate: the bitset capacity in force
    bool undone = false;       // step: an undo of this step follows
    std::size_t position = 0;  // the entry's position in the log
  };

  // Where a reader stands: the next entry and the decoder's state there.
  struct Cursor {
    std::size_t chunk = 0;
    std::size_t offset = 0;
    std::size_t position = 0;
    std::size_t bytes = 0;  // bytes read so far
    uint64_t ref = 0, horizon = 0, capacity = 0;
  };

  // (Always inlined: the step appends through these; as calls they cost more
  // than their bodies.)
  [[gnu::always_inline]] void create(uint64_t v, uint64_t capacity);
  [[gnu::always_inline]] void relate(uint64_t a, uint64_t b, uint64_t horizon, uint64_t capacity);
  void remove(uint64_t v);
  void drop(uint64_t v);
  void step();
  void undo();
  // Closes the current step: later entries do not belong to it.
  void end();
  // Flags the most recent step entry as undone.
  void mark_last_step_undone();

  // Whether `entry` is the most recent step entry in the log.
  bool is_last_step(const Entry& entry) const {
    return entry.kind == Kind::step && has_last_step_ && entry.position == last_step_;
  }
  std::size_t bytes() const { return size_; }
  std::size_t entries() const { return position_; }
  // Bytes reserved, for memory accounting.
  std::size_t capacity_bytes() const { return chunks_.size() * kChunkSize; }

  // Calls f(entry) for the entries from `cursor` on, advancing it, until f
  // returns false or the log ends; true when it ended.
  template <class F>
  bool read(Cursor& cursor, F&& f) const;

  // The log as bytes (for a checkpoint), and back. `from_bytes` checks that
  // the bytes decode to whole entries; on failure it returns false, points
  // `problem` at a description of the bad entry and leaves the log empty.
  std::string to_bytes() const;
  bool from_bytes(std::string_view bytes, const char*& problem);
  // The same bytes in pieces, in order: f(const uint8_t*, std::size_t).
  template <class F>
  void for_each_piece(F&& f) const;
  // Decodes consecutive pieces of those bytes onto the log: the whole
  // entries of `bytes` are appended and `used` says how far they reach (an
  // entry cut off by the end is left for the caller to hand over again with
  // the next piece); with `last`, the bytes must end with an entry. On
  // failure as from_bytes.
  bool append_bytes(std::string_view bytes, bool last, std::size_t& used, const char*& problem);

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
  std::size_t chunk_end(std::size_t c) const { return c + 1 == chunks_.size() ? used_in_last_ : kChunkSize; }

  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  uint8_t* write_ = nullptr;               // the last chunk
  std::size_t used_in_last_ = kChunkSize;  // bytes used in the last chunk
  std::size_t size_ = 0;                   // bytes in all entries
  std::size_t position_ = 0;               // entries appended
  // Encoder state, mirrored by the reader.
  uint64_t ref_ = 0;
  uint64_t horizon_ = 0;
  uint64_t capacity_ = 0;
  // Where the most recent step entry lies.
  bool has_last_step_ = false;
  std::size_t last_step_ = 0;
  uint8_t* last_step_tag_ = nullptr;
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
bool CausalLog::read(Cursor& cursor, F&& f) const {
  // The cursor never moves past the last chunk, which may still grow.
  while (cursor.chunk < chunks_.size()) {
    const uint8_t* const first = chunks_[cursor.chunk].get();
    const uint8_t* p = first + cursor.offset;
    const uint8_t* const end = first + chunk_end(cursor.chunk);
    while (p < end && *p != 0xff) {  // 0xff: the unused tail of a chunk
      const uint8_t* const entry_start = p;
      const uint8_t tag = *p++;
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
        return cursor.ref + ((z >> 1) ^ (~(z & 1) + 1));
      };
      Entry e;
      e.kind = static_cast<Kind>(tag & 7u);
      e.position = cursor.position++;
      if ((tag & kSettings) != 0) {
        if (e.kind == Kind::relate) cursor.horizon = varint();
        cursor.capacity = varint();
      }
      switch (e.kind) {
        case Kind::create:
          e.a = (tag & kNext) != 0 ? cursor.ref + 1 : id();
          cursor.ref = e.a;
          e.capacity = cursor.capacity;
          break;
        case Kind::relate:
          e.a = (tag & kARef) != 0 ? cursor.ref : id();
          e.b = (tag & kBRef) != 0 ? cursor.ref : id();
          e.horizon = cursor.horizon;
          e.capacity = cursor.capacity;
          break;
        case Kind::remove:
        case Kind::drop:
          e.a = (tag & kARef) != 0 ? cursor.ref : id();
          break;
        case Kind::step:
          e.undone = (tag & kUndone) != 0;
          break;
        case Kind::undo:
        case Kind::end:
          break;
      }
      cursor.offset = static_cast<std::size_t>(p - first);
      cursor.bytes += static_cast<std::size_t>(p - entry_start);
      if (!f(static_cast<const Entry&>(e))) return cursor.bytes == size_;
    }
    if (cursor.chunk + 1 == chunks_.size()) break;
    ++cursor.chunk;
    cursor.offset = 0;
  }
  return true;
}

template <class F>
void CausalLog::for_each_piece(F&& f) const {
  // Entries never straddle a chunk: a chunk's bytes end where the last entry
  // read from it ends.
  Cursor walk;
  std::size_t current = 0, last_end = 0;
  read(walk, [&](const Entry&) {
    if (walk.chunk != current) {
      f(static_cast<const uint8_t*>(chunks_[current].get()), last_end);
      current = walk.chunk;
    }
    last_end = walk.offset;
    return true;
  });
  if (!chunks_.empty()) f(static_cast<const uint8_t*>(chunks_[current].get()), last_end);
}

}  // namespace vorn
