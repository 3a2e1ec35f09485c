// The one place that calls CRoaring: an owning 32-bit id bitmap with move semantics.
//
// Rules of use:
//  - A Bitmap owns its roaring storage; a default-constructed or moved-from Bitmap is empty and
//    valid and holds no storage until its first insertion.
//  - Copies are explicit (`clone()`), never implicit.
//  - Every CRoaring call of the system is made here, so the differences between CRoaring
//    generations (detected at configure time) are handled in this file alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
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

  /// A deep copy.
  [[nodiscard]] Bitmap clone() const {
    Bitmap b;
    if (r_ && !roaring_bitmap_is_empty(r_)) {
      b.ensure();
      if (!roaring_bitmap_overwrite(b.r_, r_)) fatal("assertion failed: success");
    }
    return b;
  }

  void add(Id id) { roaring_bitmap_add(ensure(), id); }
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
      if (!roaring_bitmap_overwrite(b.r_, raw[0])) fatal("assertion failed: success");
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

  /// Size of the portable serialised form, a rough measure of the storage held.
  [[nodiscard]] std::size_t size_in_bytes() const noexcept {
    return r_ ? roaring_bitmap_size_in_bytes(r_) : 0;
  }

 private:
  static Bitmap adopt(roaring_bitmap_t* r) {
    if (!r) fatal("assertion failed: !p.is_null()");
    Bitmap b;
    b.r_ = r;
    return b;
  }
  roaring_bitmap_t* ensure() {
    if (!r_) {
      r_ = roaring_bitmap_create();
      if (!r_) fatal("assertion failed: success");
    }
    return r_;
  }
  void reset() noexcept {
    if (r_) roaring_bitmap_free(r_);
    r_ = nullptr;
  }

  roaring_bitmap_t* r_ = nullptr;  // owned; null means empty
};

}  // namespace vostrel
