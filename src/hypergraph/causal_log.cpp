#include "hypergraph/causal_log.hpp"

namespace vorn {

uint8_t* CausalLog::reserve(std::size_t n) {
  if (chunks_.empty() || used_in_last_ + n > kChunkSize) {
    if (!chunks_.empty() && used_in_last_ < kChunkSize) chunks_.back()[used_in_last_] = 0xff;
    chunks_.push_back(std::make_unique<uint8_t[]>(kChunkSize));
    used_in_last_ = 0;
  }
  return chunks_.back().get() + used_in_last_;
}

void CausalLog::put_varint(uint8_t*& out, uint64_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<uint8_t>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<uint8_t>(v);
}

void CausalLog::put_id(uint8_t*& out, uint64_t id) {
  const uint64_t delta = id - ref_;  // modulo 2^64
  const uint64_t zigzag = (delta << 1) ^ (static_cast<uint64_t>(static_cast<int64_t>(delta) >> 63));
  put_varint(out, zigzag);
}

void CausalLog::create(uint64_t v, uint64_t capacity) {
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
  const std::size_t n = static_cast<std::size_t>(out - start);
  used_in_last_ += n;
  size_ += n;
  ++position_;
}

void CausalLog::relate(uint64_t a, uint64_t b, uint64_t horizon, uint64_t capacity) {
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
  const std::size_t n = static_cast<std::size_t>(out - start);
  used_in_last_ += n;
  size_ += n;
  ++position_;
}

void CausalLog::vertex_entry(Kind kind, uint64_t v) {
  uint8_t* start = reserve(kMaxEntry);
  uint8_t* out = start + 1;
  uint8_t tag = static_cast<uint8_t>(kind);
  if (v == ref_) {
    tag |= kARef;
  } else {
    put_id(out, v);
  }
  *start = tag;
  const std::size_t n = static_cast<std::size_t>(out - start);
  used_in_last_ += n;
  size_ += n;
  ++position_;
}

void CausalLog::remove(uint64_t v) { vertex_entry(Kind::remove, v); }

void CausalLog::drop(uint64_t v) { vertex_entry(Kind::drop, v); }

void CausalLog::step() {
  uint8_t* start = reserve(1);
  *start = static_cast<uint8_t>(Kind::step);
  has_last_step_ = true;
  last_step_ = position_;
  last_step_tag_ = start;
  ++used_in_last_;
  ++size_;
  ++position_;
}

void CausalLog::tag_only(Kind kind) {
  uint8_t* start = reserve(1);
  *start = static_cast<uint8_t>(kind);
  ++used_in_last_;
  ++size_;
  ++position_;
}

void CausalLog::undo() { tag_only(Kind::undo); }

void CausalLog::end() { tag_only(Kind::end); }

void CausalLog::mark_last_step_undone() {
  if (has_last_step_) *last_step_tag_ |= kUndone;
}

void CausalLog::clear() {
  chunks_.clear();
  used_in_last_ = kChunkSize;
  size_ = 0;
  position_ = 0;
  has_last_step_ = false;
  last_step_tag_ = nullptr;
  start_ref_ = ref_;
  start_horizon_ = horizon_;
  start_capacity_ = capacity_;
}

}  // namespace vorn
