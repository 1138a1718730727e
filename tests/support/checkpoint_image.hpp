// A checkpoint's bytes taken apart into editable fields and put together
// again, written from the byte layout alone: tests damage one field at a
// time and check that the loader names what is wrong. Sections the tests do
// not edit field by field (generator, rules, causal log) stay raw bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hypergraph/byte_stream.hpp"
#include "hypergraph/undo_record.hpp"

namespace vorn::test {

// Reads the layout; throws on bytes that do not follow it.
class Cursor {
 public:
  explicit Cursor(std::string_view in) : in_(in) {}
  template <class T>
  T get() {
    T v{};
    need(sizeof v);
    std::memcpy(&v, in_.data() + pos_, sizeof v);
    pos_ += sizeof v;
    return v;
  }
  std::string take(std::size_t n) {
    need(n);
    std::string out(in_.substr(pos_, n));
    pos_ += n;
    return out;
  }
  std::string str() { return take(get<uint64_t>()); }
  std::size_t position() const { return pos_; }
  // The bytes read since `start`.
  std::string since(std::size_t start) const { return std::string(in_.substr(start, pos_ - start)); }
  std::string_view rest() const { return in_.substr(pos_); }
  void skip(std::size_t n) {
    need(n);
    pos_ += n;
  }

 private:
  void need(std::size_t n) const {
    if (n > in_.size() - pos_) throw std::runtime_error("checkpoint image: bytes end early");
  }
  std::string_view in_;
  std::size_t pos_ = 0;
};

struct StoreImage {
  struct VertexRecord {
    uint64_t id;
    uint32_t position, flags;
    std::vector<uint32_t> incidence;
  };
  struct EdgeRecord {
    uint64_t id;
    uint8_t live;
    std::vector<uint32_t> members;
  };
  uint64_t pair_count = 0, causal_horizon = 0, bitset_capacity = 0;
  std::vector<VertexRecord> vertices;
  std::vector<uint32_t> free_vertices, live;
  std::vector<EdgeRecord> edges;
  std::vector<uint32_t> free_edges;
  std::string observables;  // raw
  std::string causal;       // raw: the log and its bookkeeping

  static StoreImage read(Cursor& in) {
    StoreImage g;
    g.pair_count = in.get<uint64_t>();
    g.causal_horizon = in.get<uint64_t>();
    g.bitset_capacity = in.get<uint64_t>();
    const auto list = [&in](std::vector<uint32_t>& out) {
      const uint32_t n = in.get<uint32_t>();
      for (uint32_t i = 0; i < n; ++i) out.push_back(in.get<uint32_t>());
    };
    const uint32_t slots = in.get<uint32_t>();
    for (uint32_t s = 0; s < slots; ++s) {
      VertexRecord r{};
      r.id = in.get<uint64_t>();
      r.position = in.get<uint32_t>();
      r.flags = in.get<uint32_t>();
      list(r.incidence);
      g.vertices.push_back(std::move(r));
    }
    list(g.free_vertices);
    list(g.live);
    const uint32_t edges = in.get<uint32_t>();
    for (uint32_t e = 0; e < edges; ++e) {
      EdgeRecord r{};
      r.id = in.get<uint64_t>();
      r.live = in.get<uint8_t>();
      list(r.members);
      g.edges.push_back(std::move(r));
    }
    list(g.free_edges);
    std::size_t start = in.position();
    const uint32_t observed = in.get<uint32_t>();
    for (uint32_t i = 0; i < observed; ++i) {
      in.get<uint64_t>();
      const uint32_t n = in.get<uint32_t>();
      for (uint32_t k = 0; k < n; ++k) {
        in.str();
        in.get<double>();
      }
    }
    g.observables = in.since(start);
    start = in.position();
    in.str();
    in.skip(8 * 3 + 1);
    g.causal = in.since(start);
    return g;
  }
  void write(ByteWriter& out) const {
    out.u64(pair_count);
    out.u64(causal_horizon);
    out.u64(bitset_capacity);
    const auto list = [&out](const std::vector<uint32_t>& items) {
      out.u32(static_cast<uint32_t>(items.size()));
      for (const uint32_t v : items) out.u32(v);
    };
    out.u32(static_cast<uint32_t>(vertices.size()));
    for (const auto& r : vertices) {
      out.u64(r.id);
      out.u32(r.position);
      out.u32(r.flags);
      list(r.incidence);
    }
    list(free_vertices);
    list(live);
    out.u32(static_cast<uint32_t>(edges.size()));
    for (const auto& r : edges) {
      out.u64(r.id);
      out.u8(r.live);
      list(r.members);
    }
    list(free_edges);
    out.raw(observables.data(), observables.size());
    out.raw(causal.data(), causal.size());
  }
};

struct CheckpointImage {
  uint64_t vertex_counter = 0, edge_counter = 0, steps = 0, print_interval = 0, attempted = 0, successful = 0;
  uint8_t verbose = 0, dpo = 0;
  std::string generator;  // key, block counter, position (at byte 40), buffer
  std::string rules;
  StoreImage store;
  std::optional<UndoRecord> undo;
  std::string trailer;

  static CheckpointImage read(std::string_view bytes) {
    CheckpointImage c;
    Cursor in(bytes);
    c.vertex_counter = in.get<uint64_t>();
    c.edge_counter = in.get<uint64_t>();
    c.steps = in.get<uint64_t>();
    c.print_interval = in.get<uint64_t>();
    c.attempted = in.get<uint64_t>();
    c.successful = in.get<uint64_t>();
    c.verbose = in.get<uint8_t>();
    c.dpo = in.get<uint8_t>();
    c.generator = in.take(32 + 8 + 4 + 64 * 4);
    const std::size_t rules_start = in.position();
    const uint32_t rules = in.get<uint32_t>();
    for (uint32_t r = 0; r < rules; ++r) {
      in.get<double>();
      for (int side = 0; side < 2; ++side) {
        const uint32_t patterns = in.get<uint32_t>();
        for (uint32_t p = 0; p < patterns; ++p) {
          const uint32_t names = in.get<uint32_t>();
          for (uint32_t k = 0; k < names; ++k) in.str();
        }
      }
      const uint32_t kept = in.get<uint32_t>();
      for (uint32_t k = 0; k < kept; ++k) in.str();
    }
    c.rules = in.since(rules_start);
    c.store = StoreImage::read(in);
    if (in.get<uint8_t>() != 0) {
      ByteReader reader(in.rest());
      c.undo = UndoRecord::load(reader);
      if (!c.undo) throw std::runtime_error("checkpoint image: no undo record");
      in.skip(reader.position());
    }
    c.trailer = std::string(in.rest());
    return c;
  }

  std::string bytes() const {
    ByteWriter out;
    for (const uint64_t v : {vertex_counter, edge_counter, steps, print_interval, attempted, successful})
      out.u64(v);
    out.u8(verbose);
    out.u8(dpo);
    out.raw(generator.data(), generator.size());
    out.raw(rules.data(), rules.size());
    store.write(out);
    out.u8(undo ? 1 : 0);
    if (undo) undo->save(out);
    out.raw(trailer.data(), trailer.size());
    return out.take();
  }

  uint32_t generator_position() const {
    uint32_t v = 0;
    std::memcpy(&v, generator.data() + 40, 4);
    return v;
  }
  void set_generator_position(uint32_t v) { std::memcpy(generator.data() + 40, &v, 4); }
};

}  // namespace vorn::test
