// Heap blocks for the store's incidence lists that outgrow their inline
// room: carved from 64 KiB chunks and recycled through one free list per
// size, so that a growing graph's many small blocks cost neither a call into
// malloc nor its header each. Blocks live as long as the pool: a list hands
// its block back when it grows or is reset, and the pool frees everything at
// once. Sizes are the lists' capacities, each a power of two times a base.
// (Under AddressSanitizer every block is an allocation of its own, so that
// it checks each block's bounds.)
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace vorn {

class ListBlocks {
 public:
  ListBlocks() = default;
  ListBlocks(ListBlocks&& o) noexcept
      : free_(std::exchange(o.free_, {})),
        chunks_(std::move(o.chunks_)),
        next_(std::exchange(o.next_, nullptr)),
        left_(std::exchange(o.left_, 0)),
        bytes_(std::exchange(o.bytes_, 0)) {}
  ListBlocks& operator=(ListBlocks&& o) noexcept {
    if (this != &o) {
      free_ = std::exchange(o.free_, {});
      chunks_ = std::move(o.chunks_);
      next_ = std::exchange(o.next_, nullptr);
      left_ = std::exchange(o.left_, 0);
      bytes_ = std::exchange(o.bytes_, 0);
    }
    return *this;
  }
  ListBlocks(const ListBlocks&) = delete;
  ListBlocks& operator=(const ListBlocks&) = delete;

  // A block of `entries` 32-bit entries (at least 2).
  uint32_t* take(uint32_t entries) {
    Free*& head = free_[std::bit_width(entries)];
    if (head != nullptr) return reinterpret_cast<uint32_t*>(std::exchange(head, head->next));
    return carve(round_up(std::size_t{entries} * sizeof(uint32_t)));
  }
  // Hands back a block that take(entries) gave.
  void give(uint32_t* block, uint32_t entries) {
    Free*& head = free_[std::bit_width(entries)];
    head = ::new (static_cast<void*>(block)) Free{head};
  }
  // The bytes held from the heap, blocks in use or free.
  std::size_t bytes() const { return bytes_; }

 private:
  struct Free {
    Free* next;
  };
  static constexpr std::size_t kChunk = std::size_t{64} << 10;
#if defined(__SANITIZE_ADDRESS__)
  static constexpr std::size_t kOwnChunkFrom = 0;
#else
  static constexpr std::size_t kOwnChunkFrom = kChunk / 8;
#endif
  static std::size_t round_up(std::size_t bytes) {
    return (bytes + alignof(Free) - 1) & ~(alignof(Free) - 1);
  }

  [[gnu::noinline]] uint32_t* carve(std::size_t bytes) {
    if (bytes >= kOwnChunkFrom) return reinterpret_cast<uint32_t*>(new_chunk(bytes));
    if (left_ < bytes) {
      next_ = new_chunk(kChunk);
      left_ = kChunk;
    }
    std::byte* block = next_;
    next_ += bytes;
    left_ -= bytes;
    return reinterpret_cast<uint32_t*>(block);
  }
  std::byte* new_chunk(std::size_t bytes) {
    auto chunk = std::make_unique_for_overwrite<std::byte[]>(bytes);
    std::byte* p = chunk.get();
    chunks_.push_back(std::move(chunk));  // (when this throws, `chunk` still frees it)
    bytes_ += bytes;
    return p;
  }

  std::array<Free*, 33> free_{};
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  std::byte* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace vorn
