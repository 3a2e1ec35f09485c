// The one place that calls CRoaring: an owning 32-bit id bitmap with move semantics.
//
// Rules of use:
//  - A Bitmap owns its roaring storage; a default-constructed or moved-from Bitmap is empty and
//    valid and holds no storage until its first insertion.
//  - Copies are explicit (`clone()`), never implicit.
//  - Every CRoaring call of the system is made here, so the differences between CRoaring
//    generations (detected at configure time) are handled in this file alone.
//  - Exhausted memory that CRoaring reports (a null result, a false return) throws
//    std::bad_alloc, which the host raises as MemoryError.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifdef VOSTREL_ROARING_AMALGAMATED
#include <roaring.h>
#else
#include <roaring/roaring.h>
#endif

#include "index/fatal.hpp"

namespace vostrel {

using Id = std::uint32_t;

/// The CRoaring release the build uses, "major.minor.revision".
[[nodiscard]] std::string roaring_version();
/// The SIMD path CRoaring takes on this machine: "AVX-512", "AVX2", or "scalar" (also when the
/// library cannot tell, as releases before 1.0 cannot).
[[nodiscard]] std::string_view roaring_simd() noexcept;

class Bitmap {
 public:
  /// An empty bitmap; allocates nothing.
  Bitmap() noexcept = default;
  ~Bitmap() { reset(); }

  Bitmap(Bitmap&& other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
  Bitmap& operator=(Bitmap&& other) noexcept {
    if (this != &other) {
      reset();
      r_ = std::exchange(other.r_, nullptr);
    }
    return *this;
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  /// A bitmap holding the given ids (any order, repeats collapse).
  static Bitmap of(std::span<const Id> ids) {
    Bitmap b;
    b.add_many(ids);
    return b;
  }
  static Bitmap of(std::initializer_list<Id> ids) {
    return of(std::span<const Id>(ids.begin(), ids.size()));
  }

  /// A bitmap holding ascending ids (repeats allowed), built in one pass. The ids are laid
  /// out in the portable serialised form, chunk by chunk, and read back in one call: far
  /// cheaper than inserting them one by one when they spread over many chunks.
  static Bitmap of_sorted(std::span<const Id> ids);

  /// A deep copy.
  [[nodiscard]] Bitmap clone() const {
    Bitmap b;
    if (r_ && !roaring_bitmap_is_empty(r_)) {
      b.ensure();
      if (!roaring_bitmap_overwrite(b.r_, r_)) throw std::bad_alloc();
    }
    return b;
  }

  void add(Id id) { roaring_bitmap_add(ensure(), id); }
  /// Adds the id; true when it was not held before.
  bool add_checked(Id id) { return roaring_bitmap_add_checked(ensure(), id); }
  void add_many(std::span<const Id> ids) {
    if (ids.empty()) return;
    roaring_bitmap_add_many(ensure(), ids.size(), ids.data());
  }
  void remove(Id id) noexcept {
    if (r_) roaring_bitmap_remove(r_, id);
  }
  [[nodiscard]] bool contains(Id id) const noexcept { return r_ && roaring_bitmap_contains(r_, id); }
  [[nodiscard]] bool is_empty() const noexcept { return !r_ || roaring_bitmap_is_empty(r_); }
  [[nodiscard]] std::uint64_t cardinality() const noexcept {
    return r_ ? roaring_bitmap_get_cardinality(r_) : 0;
  }
  /// Largest id held; requires a non-empty bitmap.
  [[nodiscard]] Id maximum() const noexcept { return r_ ? roaring_bitmap_maximum(r_) : 0; }
  /// Smallest id held; requires a non-empty bitmap.
  [[nodiscard]] Id minimum() const noexcept { return r_ ? roaring_bitmap_minimum(r_) : 0; }
  /// Number of ids held that are at most `id`.
  [[nodiscard]] std::uint64_t rank(Id id) const noexcept { return r_ ? roaring_bitmap_rank(r_, id) : 0; }
  /// True when every id of [lo, hi] is held.
  [[nodiscard]] bool contains_range(Id lo, Id hi) const noexcept {
    return lo > hi || (r_ && roaring_bitmap_contains_range(r_, lo, std::uint64_t{hi} + 1));
  }
  /// Asks for the bitmap's own record to be loaded ahead of a read that follows.
  void prefetch() const noexcept {
    if (r_) __builtin_prefetch(r_);
  }
  /// Drops every id and releases the storage.
  void clear() noexcept { reset(); }

  /// Repeated insertions of nearby ids (a leaf's keys in order) with a cached container.
  class BulkAdder {
   public:
    explicit BulkAdder(Bitmap& target) : target_(target) {}
    void add(Id id) {
#ifdef VOSTREL_ROARING_HAS_ADD_BULK
      roaring_bitmap_add_bulk(target_.ensure(), &context_, id);
#else
      target_.add(id);
#endif
    }

   private:
    Bitmap& target_;
#ifdef VOSTREL_ROARING_HAS_ADD_BULK
    roaring_bulk_context_t context_{};
#endif
  };

  void or_inplace(const Bitmap& other) {
    if (other.is_empty()) return;
    if (is_empty()) {
      *this = other.clone();
      return;
    }
    roaring_bitmap_or_inplace(r_, other.r_);
  }
  void and_inplace(const Bitmap& other) noexcept {
    if (is_empty()) return;
    if (other.is_empty()) {
      reset();
      return;
    }
    roaring_bitmap_and_inplace(r_, other.r_);
  }
  void andnot_inplace(const Bitmap& other) noexcept {
    if (is_empty() || other.is_empty()) return;
    roaring_bitmap_andnot_inplace(r_, other.r_);
  }

  /// a ∩ b as a new bitmap.
  [[nodiscard]] static Bitmap and_(const Bitmap& a, const Bitmap& b) {
    if (a.is_empty() || b.is_empty()) return Bitmap();
    return adopt(roaring_bitmap_and(a.r_, b.r_));
  }
  /// |a ∩ b|, without making the intersection.
  [[nodiscard]] static std::uint64_t and_cardinality(const Bitmap& a, const Bitmap& b) noexcept {
    if (a.is_empty() || b.is_empty()) return 0;
    return roaring_bitmap_and_cardinality(a.r_, b.r_);
  }
  /// The smallest id of a ∩ b; requires a non-empty intersection.
  [[nodiscard]] static Id and_minimum(const Bitmap& a, const Bitmap& b) { return and_(a, b).minimum(); }
  /// a \ b as a new bitmap.
  [[nodiscard]] static Bitmap andnot(const Bitmap& a, const Bitmap& b) {
    if (a.is_empty()) return Bitmap();
    if (b.is_empty()) return a.clone();
    return adopt(roaring_bitmap_andnot(a.r_, b.r_));
  }
  /// The union of every bitmap given, as a new bitmap.
  [[nodiscard]] static Bitmap or_many(std::span<const Bitmap* const> parts) {
    std::vector<const roaring_bitmap_t*> raw;
    raw.reserve(parts.size());
    for (const Bitmap* p : parts)
      if (p && !p->is_empty()) raw.push_back(p->r_);
    if (raw.empty()) return Bitmap();
    if (raw.size() == 1) {
      Bitmap b;
      b.ensure();
      if (!roaring_bitmap_overwrite(b.r_, raw[0])) throw std::bad_alloc();
      return b;
    }
    return adopt(roaring_bitmap_or_many(raw.size(), raw.data()));
  }

  friend bool operator==(const Bitmap& a, const Bitmap& b) noexcept {
    if (a.is_empty() || b.is_empty()) return a.is_empty() == b.is_empty();
    return roaring_bitmap_equals(a.r_, b.r_);
  }

  /// Calls f(id) for each id in ascending order.
  template <class F>
  void for_each(F&& f) const {
    if (is_empty()) return;
    roaring_uint32_iterator_t it;
#ifdef VOSTREL_ROARING_NEW_ITERATOR
    roaring_iterator_init(r_, &it);
    for (; it.has_value; roaring_uint32_iterator_advance(&it)) f(static_cast<Id>(it.current_value));
#else
    roaring_init_iterator(r_, &it);
    for (; it.has_value; roaring_advance_uint32_iterator(&it)) f(static_cast<Id>(it.current_value));
#endif
  }

  /// Ids handed to `for_each_batch` at a time: a kilobyte of stack, enough to keep a loop over
  /// the batch free of per-id iterator calls.
  static constexpr std::size_t kBatchIds = 256;

  /// Calls f(std::span<const Id>) with consecutive runs of the ids, ascending, each at most
  /// kBatchIds long.
  template <class F>
  void for_each_batch(F&& f) const {
    if (is_empty()) return;
    Id buffer[kBatchIds];
    roaring_uint32_iterator_t it;
#ifdef VOSTREL_ROARING_NEW_ITERATOR
    roaring_iterator_init(r_, &it);
    while (const std::uint32_t n = roaring_uint32_iterator_read(&it, buffer, kBatchIds))
      f(std::span<const Id>(buffer, n));
#else
    roaring_init_iterator(r_, &it);
    while (const std::uint32_t n = roaring_read_uint32_iterator(&it, buffer, kBatchIds))
      f(std::span<const Id>(buffer, n));
#endif
  }

  /// The ids in ascending order.
  [[nodiscard]] std::vector<Id> to_vector() const {
    std::vector<Id> out(cardinality());
    if (!out.empty()) roaring_bitmap_to_uint32_array(r_, out.data());
    return out;
  }
  /// Appends the ids within [lo, hi] in ascending order to `out`, at most `limit` of them.
  void append_range(Id lo, Id hi, std::vector<Id>& out, std::size_t limit = SIZE_MAX) const {
    if (is_empty() || limit == 0) return;
    roaring_uint32_iterator_t it;
#ifdef VOSTREL_ROARING_NEW_ITERATOR
    roaring_iterator_init(r_, &it);
    if (!roaring_uint32_iterator_move_equalorlarger(&it, lo)) return;
    for (; it.has_value && it.current_value <= hi; roaring_uint32_iterator_advance(&it)) {
      out.push_back(it.current_value);
      if (--limit == 0) return;
    }
#else
    roaring_init_iterator(r_, &it);
    if (!roaring_move_uint32_iterator_equalorlarger(&it, lo)) return;
    for (; it.has_value && it.current_value <= hi; roaring_advance_uint32_iterator(&it)) {
      out.push_back(it.current_value);
      if (--limit == 0) return;
    }
#endif
  }
  /// Writes the ids in ascending order to `out`, which has room for `cardinality()` of them.
  void copy_to(Id* out) const noexcept {
    if (r_) roaring_bitmap_to_uint32_array(r_, out);
  }

  /// Size of the portable serialised form, a rough measure of the storage held.
  [[nodiscard]] std::size_t size_in_bytes() const noexcept {
    return r_ ? roaring_bitmap_size_in_bytes(r_) : 0;
  }

  /// Removes every id given (any order) that the bitmap holds.
  void remove_many(std::span<const Id> ids) noexcept {
    if (r_ && !ids.empty()) roaring_bitmap_remove_many(r_, ids.size(), ids.data());
  }
  /// Bytes of storage held, roughly: the record, each chunk's entry and its container.
  [[nodiscard]] std::size_t memory_bytes() const noexcept;

  // The methods below throw std::bad_alloc when memory is exhausted, as every method does (an
  // ordinary exception: callers undo what they began). CRoaring's allocations inside an add or a
  // remove report nothing.

  /// `of_sorted`, throwing std::bad_alloc when memory is exhausted.
  static Bitmap of_sorted_or_throw(std::span<const Id> ids);
  /// `or_many`, throwing std::bad_alloc when memory is exhausted.
  [[nodiscard]] static Bitmap or_many_or_throw(std::span<const Bitmap* const> parts);
  /// `andnot`, throwing std::bad_alloc when memory is exhausted.
  [[nodiscard]] static Bitmap andnot_or_throw(const Bitmap& a, const Bitmap& b);
  /// `clone`, throwing std::bad_alloc when memory is exhausted.
  [[nodiscard]] Bitmap clone_or_throw() const;
  /// Gives an empty bitmap its record, so that a later `add` has one to add to; throws
  /// std::bad_alloc when memory is exhausted.
  void make_record_or_throw();

 private:
  static Bitmap adopt(roaring_bitmap_t* r) {
    if (!r) throw std::bad_alloc();  // CRoaring reports exhausted memory as a null result
    Bitmap b;
    b.r_ = r;
    return b;
  }
  roaring_bitmap_t* ensure() {
    if (!r_) {
      r_ = roaring_bitmap_create();
      if (!r_) throw std::bad_alloc();
    }
    return r_;
  }
  void reset() noexcept {
    if (r_) roaring_bitmap_free(r_);
    r_ = nullptr;
  }
  /// The record of ascending ids (repeats allowed), or null when no memory was left for it.
  static roaring_bitmap_t* sorted_record(std::span<const Id> ids);
  /// A bitmap that owns `r`; std::bad_alloc when `r` is null.
  static Bitmap adopt_or_throw(roaring_bitmap_t* r) {
    if (!r) throw std::bad_alloc();
    Bitmap b;
    b.r_ = r;
    return b;
  }

  roaring_bitmap_t* r_ = nullptr;  // owned; null means empty
};

inline Bitmap Bitmap::of_sorted(std::span<const Id> ids) {
  if (ids.empty()) return Bitmap();
  return adopt(sorted_record(ids));
}

inline Bitmap Bitmap::of_sorted_or_throw(std::span<const Id> ids) {
  if (ids.empty()) return Bitmap();
  return adopt_or_throw(sorted_record(ids));
}

inline roaring_bitmap_t* Bitmap::sorted_record(std::span<const Id> ids) {
  // The portable form without run chunks: a cookie, the chunk count, a (key, cardinality - 1)
  // pair of 16-bit words per chunk, each chunk's 32-bit byte offset, then the chunks in key
  // order. A chunk holds the ids that share their high 16 bits: their low halves ascending,
  // or a 65536-bit bitset when there are more than kArrayChunkMax of them. All little-endian.
  constexpr std::uint32_t kNoRunCookie = 12346;
  constexpr std::size_t kArrayChunkMax = 4096;
  constexpr std::size_t kBitsetBytes = 8192;
  constexpr std::size_t kHeaderBytes = 8;
  constexpr std::size_t kPerChunkBytes = 8;  // key, cardinality and offset
  // So few ids are inserted directly: the form's buffers would cost more than they save.
  constexpr std::size_t kDirectMaxIds = 256;
  if (std::endian::native != std::endian::little || ids.size() <= kDirectMaxIds) {
    roaring_bitmap_t* r = roaring_bitmap_create();
    if (r) roaring_bitmap_add_many(r, ids.size(), ids.data());
    return r;
  }

  struct Chunk {
    std::size_t first, end;  // [first, end) of ids
    std::size_t cardinality;  // distinct ids
  };
  std::vector<Chunk> chunks;
  std::size_t data_bytes = 0;
  for (std::size_t i = 0; i < ids.size();) {
    const Id high = ids[i] >> 16;
    Chunk c{i, i + 1, 1};
    for (; c.end < ids.size() && (ids[c.end] >> 16) == high; ++c.end) c.cardinality += ids[c.end] != ids[c.end - 1];
    data_bytes += c.cardinality > kArrayChunkMax ? kBitsetBytes : 2 * c.cardinality;
    chunks.push_back(c);
    i = c.end;
  }
  const std::size_t bytes = kHeaderBytes + kPerChunkBytes * chunks.size() + data_bytes;
  const auto buffer = std::make_unique_for_overwrite<char[]>(bytes);
  char* const base = buffer.get();
  auto put16 = [](char* at, std::uint16_t v) { std::memcpy(at, &v, sizeof v); };
  auto put32 = [](char* at, std::uint32_t v) { std::memcpy(at, &v, sizeof v); };
  put32(base, kNoRunCookie);
  put32(base + 4, static_cast<std::uint32_t>(chunks.size()));
  char* description = base + kHeaderBytes;
  char* offsets = description + 4 * chunks.size();
  char* data = offsets + 4 * chunks.size();
  for (const Chunk& c : chunks) {
    put16(description, static_cast<std::uint16_t>(ids[c.first] >> 16));
    put16(description + 2, static_cast<std::uint16_t>(c.cardinality - 1));
    description += 4;
    put32(offsets, static_cast<std::uint32_t>(data - base));
    offsets += 4;
    if (c.cardinality > kArrayChunkMax) {
      std::uint64_t words[kBitsetBytes / 8] = {};
      for (std::size_t i = c.first; i < c.end; ++i) words[(ids[i] & 0xffff) >> 6] |= std::uint64_t{1} << (ids[i] & 63);
      std::memcpy(data, words, kBitsetBytes);
      data += kBitsetBytes;
    } else {
      put16(data, static_cast<std::uint16_t>(ids[c.first]));
      data += 2;
      for (std::size_t i = c.first + 1; i < c.end; ++i)
        if (ids[i] != ids[i - 1]) {
          put16(data, static_cast<std::uint16_t>(ids[i]));
          data += 2;
        }
    }
  }
  return roaring_bitmap_portable_deserialize_safe(base, bytes);
}

inline Bitmap Bitmap::or_many_or_throw(std::span<const Bitmap* const> parts) {
  const Bitmap* single = nullptr;
  std::size_t n = 0;
  for (const Bitmap* p : parts)
    if (p && !p->is_empty()) {
      single = p;
      ++n;
    }
  if (n == 0) return Bitmap();
  if (n == 1) return single->clone_or_throw();
  std::vector<const roaring_bitmap_t*> raw;
  raw.reserve(n);
  for (const Bitmap* p : parts)
    if (p && !p->is_empty()) raw.push_back(p->r_);
  return adopt_or_throw(roaring_bitmap_or_many(raw.size(), raw.data()));
}

inline Bitmap Bitmap::andnot_or_throw(const Bitmap& a, const Bitmap& b) {
  if (a.is_empty()) return Bitmap();
  if (b.is_empty()) return a.clone_or_throw();
  return adopt_or_throw(roaring_bitmap_andnot(a.r_, b.r_));
}

inline Bitmap Bitmap::clone_or_throw() const {
  Bitmap b;
  if (is_empty()) return b;
  b.make_record_or_throw();
  if (!roaring_bitmap_overwrite(b.r_, r_)) throw std::bad_alloc();
  return b;
}

inline void Bitmap::make_record_or_throw() {
  if (!r_) {
    r_ = roaring_bitmap_create();
    if (!r_) throw std::bad_alloc();
  }
}

inline std::size_t Bitmap::memory_bytes() const noexcept {
  if (!r_) return 0;
  roaring_statistics_t stats;
  roaring_bitmap_statistics(r_, &stats);
  // Each chunk has a 16-bit key, a type code and a pointer in the record's arrays, and a
  // container header of about two words beside its data.
  constexpr std::size_t kPerChunk = 2 + 1 + sizeof(void*) + 16;
  return sizeof(roaring_bitmap_t) + stats.n_containers * kPerChunk + stats.n_bytes_array_containers +
         stats.n_bytes_run_containers + stats.n_bytes_bitset_containers;
}

}  // namespace vostrel
