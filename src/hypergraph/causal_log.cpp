#include "hypergraph/causal_log.hpp"

namespace vorn {

void CausalLog::new_chunk() {
  if (!chunks_.empty() && used_in_last_ < kChunkSize) chunks_.back()[used_in_last_] = 0xff;
  chunks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(kChunkSize));
  used_in_last_ = 0;
  write_ = chunks_.back().get();
}

void CausalLog::step() {
  uint8_t* start = reserve(1);
  *start = static_cast<uint8_t>(Kind::step);
  has_last_step_ = true;
  last_step_ = position_;
  last_step_tag_ = start;
  commit(start, start + 1);
}

void CausalLog::tag_only(Kind kind) {
  uint8_t* start = reserve(1);
  *start = static_cast<uint8_t>(kind);
  commit(start, start + 1);
}

void CausalLog::undo() { tag_only(Kind::undo); }

void CausalLog::end() { tag_only(Kind::end); }

void CausalLog::mark_last_step_undone() {
  if (has_last_step_) *last_step_tag_ |= kUndone;
}

// The entries, chunk after chunk, without the chunks' unused tails.
std::string CausalLog::to_bytes() const {
  std::string out;
  out.reserve(size_);
  for_each_piece([&](const uint8_t* p, std::size_t n) { out.append(reinterpret_cast<const char*>(p), n); });
  return out;
}

bool CausalLog::from_bytes(std::string_view bytes, const char*& problem) {
  *this = CausalLog{};
  std::size_t used = 0;
  return append_bytes(bytes, true, used, problem);
}

bool CausalLog::append_bytes(std::string_view bytes, bool last, std::size_t& used, const char*& problem) {
  const auto* const first = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto* p = first;
  const auto* const end = p + bytes.size();
  // The decoder's state is the encoder's: appending an entry leaves the log
  // with the reference id and settings the entry's bytes leave the decoder.
  uint64_t ref = ref_, horizon = horizon_, capacity = capacity_;
  bool cut = false;  // a varint ran into the end of the bytes
  used = 0;
  const auto fail = [&](const char* what) {
    if (cut && !last) return true;  // the entry goes on in the next piece
    problem = what;
    *this = CausalLog{};
    return false;
  };
  const auto varint = [&](uint64_t& v) {
    v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (p == end) {
        cut = true;
        return false;
      }
      const uint8_t byte = *p++;
      if (shift == 63 && byte > 1) return false;
      v |= uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80u) == 0) return true;
    }
    return false;
  };
  const auto id = [&](uint64_t& v) {
    uint64_t z = 0;
    if (!varint(z)) return false;
    v = ref + ((z >> 1) ^ (~(z & 1) + 1));
    return true;
  };
  while (p < end) {
    used = static_cast<std::size_t>(p - first);
    const uint8_t tag = *p++;
    const auto kind = static_cast<Kind>(tag & 7u);
    const uint8_t flags = tag & ~uint8_t{7};
    uint64_t a = 0, b = 0;
    switch (kind) {
      case Kind::create:
        if ((flags & ~(kNext | kSettings)) != 0) return fail("a causal log entry with unknown flags");
        if ((flags & kSettings) != 0 && !varint(capacity))
          return fail("a causal log entry with a bad capacity");
        if ((flags & kNext) != 0) {
          a = ref + 1;
        } else if (!id(a)) {
          return fail("a causal log entry with a bad vertex");
        }
        ref = a;
        create(a, capacity);
        break;
      case Kind::relate:
        if ((flags & ~(kARef | kBRef | kSettings)) != 0) return fail("a causal log entry with unknown flags");
        if ((flags & kSettings) != 0 && (!varint(horizon) || !varint(capacity))) {
          return fail("a causal log entry with bad settings");
        }
        if ((flags & kARef) != 0) {
          a = ref;
        } else if (!id(a)) {
          return fail("a causal log entry with a bad cause");
        }
        if ((flags & kBRef) != 0) {
          b = ref;
        } else if (!id(b)) {
          return fail("a causal log entry with a bad effect");
        }
        relate(a, b, horizon, capacity);
        break;
      case Kind::remove:
      case Kind::drop:
        if ((flags & ~kARef) != 0) return fail("a causal log entry with unknown flags");
        if ((flags & kARef) != 0) {
          a = ref;
        } else if (!id(a)) {
          return fail("a causal log entry with a bad vertex");
        }
        vertex_entry(kind, a);
        break;
      case Kind::step:
        if ((flags & ~kUndone) != 0) return fail("a causal log entry with unknown flags");
        step();
        if ((flags & kUndone) != 0) mark_last_step_undone();
        break;
      case Kind::undo:
      case Kind::end:
        if (flags != 0) return fail("a causal log entry with unknown flags");
        tag_only(kind);
        break;
      default:
        return fail("a causal log entry of unknown kind");
    }
  }
  used = bytes.size();
  return true;
}

}  // namespace vorn
