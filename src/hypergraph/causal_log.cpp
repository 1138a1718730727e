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

void CausalLog::drop_front(std::size_t chunks, std::size_t offset, std::size_t bytes,
                           uint64_t ref, uint64_t horizon, uint64_t capacity,
                           std::size_t position) {
  chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(chunks));
  head_ = offset;
  size_ -= bytes;
  start_ref_ = ref;
  start_horizon_ = horizon;
  start_capacity_ = capacity;
  read_position_ = position;
  // A step entry that has been read lies in memory that may be gone.
  if (has_last_step_ && last_step_ < position) {
    has_last_step_ = false;
    last_step_tag_ = nullptr;
  }
}

void CausalLog::clear() {
  chunks_.clear();
  write_ = nullptr;
  used_in_last_ = kChunkSize;
  size_ = 0;
  position_ = 0;
  head_ = 0;
  read_position_ = 0;
  has_last_step_ = false;
  last_step_tag_ = nullptr;
  start_ref_ = ref_;
  start_horizon_ = horizon_;
  start_capacity_ = capacity_;
}

}  // namespace vorn
