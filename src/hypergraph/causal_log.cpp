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

// The entries in the checkpoints' encoding: the one above without the
// recent-id flags, every relation's ends the reference id or in full.
std::string CausalLog::to_bytes() const {
  std::string out;
  out.reserve(size_ + size_ / 2);
  uint64_t ref = 0, horizon = 0, capacity = 0;
  uint8_t buffer[kMaxEntry];
  const auto put_varint_to = [](uint8_t*& p, uint64_t v) { put_varint(p, v); };
  const auto put_id_to = [&](uint8_t*& p, uint64_t id) {
    const uint64_t delta = id - ref;  // modulo 2^64
    put_varint_to(p, (delta << 1) ^ static_cast<uint64_t>(static_cast<int64_t>(delta) >> 63));
  };
  Cursor walk;
  read(walk, [&](const Entry& e) {
    uint8_t* p = buffer + 1;
    uint8_t tag = static_cast<uint8_t>(e.kind);
    switch (e.kind) {
      case Kind::create:
        if (e.capacity != capacity) {
          tag |= kSettings;
          put_varint_to(p, e.capacity);
          capacity = e.capacity;
        }
        if (e.a == ref + 1) {
          tag |= kNext;
        } else {
          put_id_to(p, e.a);
        }
        ref = e.a;
        break;
      case Kind::relate:
        if (e.horizon != horizon || e.capacity != capacity) {
          tag |= kSettings;
          put_varint_to(p, e.horizon);
          put_varint_to(p, e.capacity);
          horizon = e.horizon;
          capacity = e.capacity;
        }
        if (e.a == ref) {
          tag |= kARef;
        } else {
          put_id_to(p, e.a);
        }
        if (e.b == ref) {
          tag |= kBRef;
        } else {
          put_id_to(p, e.b);
        }
        break;
      case Kind::remove:
      case Kind::drop:
        if (e.a == ref) {
          tag |= kARef;
        } else {
          put_id_to(p, e.a);
        }
        break;
      case Kind::step:
        if (e.undone) tag |= kUndone;
        break;
      case Kind::undo:
      case Kind::end:
        break;
    }
    buffer[0] = tag;
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(p - buffer));
    return true;
  });
  return out;
}

bool CausalLog::from_bytes(std::string_view bytes, const char*& problem) {
  *this = CausalLog{};
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto* const end = p + bytes.size();
  uint64_t ref = 0, horizon = 0, capacity = 0;
  const auto fail = [&](const char* what) {
    problem = what;
    *this = CausalLog{};
    return false;
  };
  const auto varint = [&](uint64_t& v) {
    v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (p == end) return false;
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
    const uint8_t tag = *p++;
    const auto kind = static_cast<Kind>(tag & 7u);
    const uint8_t flags = tag & ~uint8_t{7};
    uint64_t a = 0, b = 0;
    switch (kind) {
      case Kind::create:
        if ((flags & ~(kNext | kSettings)) != 0) return fail("a causal log entry with unknown flags");
        if ((flags & kSettings) != 0 && !varint(capacity)) return fail("a causal log entry with a bad capacity");
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
  return true;
}

}  // namespace vorn
