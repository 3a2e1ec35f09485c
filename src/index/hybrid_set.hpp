// The id set stored under one attribute value: up to four ids inline, a bitmap beyond.
//
// Most values are held by very few objects, so a set starts `Small` (no allocation) and turns
// `Large` when a fifth distinct id arrives; it never turns back, also when ids are removed.
// A set never holds an id twice: adding a held id, or uniting sets that share ids, keeps one copy,
// so a single `remove` always takes an id out. `Empty` is the state of a set whose content has
// been moved out; the operations that need content fail fatally on it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <cstring>
#include <new>
#include <vector>

#include "index/bitmap.hpp"
#include "index/fatal.hpp"

namespace vostrel {

class HybridSet {
  // The pairwise rules of a union and of an intersection, applied by combine().
  struct OrPair;
  struct AndPair;

 public:
  /// Ids held inline before a set turns into a bitmap: one to four holders is the common case
  /// for a value, and four ids keep the inline form as small as the bitmap's record.
  static constexpr std::size_t kSmallCapacity = 4;

  /// Which alternative a set holds.
  enum class Kind : std::uint8_t { Empty, Small, Large };

  /// Transitional state: content moved out (by a move) or never put back after a failure.
  struct Empty {};

  /// Up to kSmallCapacity distinct ids, in the order they were added.
  /// Fields: `ids_[0..count())` are the held ids, pairwise distinct and never 0 (no object has
  /// id 0); the slots after them are 0, which is how the count is known.
  class Small {
   public:
    Small() = default;
    explicit Small(Id id) noexcept : ids_{id} {}

    /// The held ids in slot order.
    [[nodiscard]] std::span<const Id> ids() const noexcept { return {ids_.data(), count()}; }
    [[nodiscard]] std::size_t count() const noexcept {
      std::size_t n = 0;
      while (n < kSmallCapacity && ids_[n] != 0) ++n;
      return n;
    }
    [[nodiscard]] bool is_full() const noexcept { return ids_[kSmallCapacity - 1] != 0; }
    [[nodiscard]] bool contains(Id id) const noexcept {
      for (Id held : ids_)
        if (held == id && held != 0) return true;
      return false;
    }

    /// The union of `a` and `b`: `a`'s ids, then those of `b` that `a` lacks; Small while the
    /// distinct ids fit inline, Large beyond.
    static HybridSet or_inplace_small(Small a, const Small& b);

   private:
    friend class HybridSet;
    friend struct HybridSet::OrPair;
    friend struct HybridSet::AndPair;
    friend struct HybridSetTestPeer;

    /// Appends an id known to be absent; requires room.
    void push(Id id) noexcept { ids_[count()] = id; }
    /// Removes the id if held, moving later ids down one slot.
    void erase(Id id) noexcept;
    /// Keeps, in order, the ids for which keep(id) holds.
    template <class Keep>
    void retain(Keep&& keep) {
      std::size_t kept = 0;
      for (std::size_t i = 0; i < kSmallCapacity && ids_[i] != 0; ++i)
        if (keep(ids_[i])) ids_[kept++] = ids_[i];
      for (std::size_t i = kept; i < kSmallCapacity; ++i) ids_[i] = 0;
    }

    std::array<Id, kSmallCapacity> ids_{};
  };

  /// Any number of ids, in an owned bitmap.
  struct Large {
    Bitmap bitmap;
  };

  /// An empty Small set.
  HybridSet() noexcept { new (&small_) Small(); }
  /// A Small set holding one id: the set of a value when it is first seen.
  [[nodiscard]] static HybridSet from_id(Id id) noexcept { return HybridSet(Small(id)); }
  /// A Large set that takes over `bitmap`.
  [[nodiscard]] static HybridSet from_bitmap(Bitmap bitmap) noexcept {
    return HybridSet(Large{std::move(bitmap)});
  }

  /// Moves leave the source Empty.
  HybridSet(HybridSet&& other) noexcept { take(other); }
  HybridSet& operator=(HybridSet&& other) noexcept {
    if (this != &other) {
      destroy();
      take(other);
    }
    return *this;
  }
  HybridSet(const HybridSet&) = delete;
  HybridSet& operator=(const HybridSet&) = delete;
  ~HybridSet() { destroy(); }
  /// A deep copy.
  [[nodiscard]] HybridSet clone() const;

  /// Adds the id in place; a held id changes nothing. The fifth distinct id makes the set Large.
  /// True when the id was not held before.
  bool add(Id id) {
    if (Small* s = small_if()) {
      if (s->contains(id)) return false;
      if (!s->is_full()) {
        s->push(id);
        return true;
      }
      grow(id);
      return true;
    }
    if (Large* l = large_if()) return l->bitmap.add_checked(id);
    fatal("not implemented");  // a moved-from (Empty) set; the system's published message
  }
  /// Removes the id in place, if held. A Large set stays Large, also when it becomes empty.
  void remove(Id id);
  /// True when no id is held.
  [[nodiscard]] bool is_empty() const {
    if (const Small* s = small_if()) return s->ids_[0] == 0;
    if (const Large* l = large_if()) return l->bitmap.is_empty();
    fatal("not yet implemented");
  }
  /// This set becomes the union with `other`.
  void or_inplace(const HybridSet& other);
  /// This set becomes the intersection with `other`.
  void and_inplace(const HybridSet& other);
  /// A new bitmap with the held ids; the set is unchanged.
  [[nodiscard]] Bitmap as_bitmap() const;

  [[nodiscard]] Kind kind() const noexcept {
    Id words[2];  // the first two slots of whichever alternative is held
    std::memcpy(words, static_cast<const void*>(this), sizeof words);
    if (words[0] != 0 || words[1] == 0) return Kind::Small;
    return words[1] == kLargeTag ? Kind::Large : Kind::Empty;
  }
  [[nodiscard]] bool is_small() const noexcept { return kind() == Kind::Small; }
  [[nodiscard]] bool is_large() const noexcept { return kind() == Kind::Large; }
  /// The inline record; requires a Small set.
  [[nodiscard]] const Small& small() const;
  /// The bitmap; requires a Large set.
  [[nodiscard]] const Bitmap& bitmap() const;
  [[nodiscard]] bool contains(Id id) const;
  [[nodiscard]] std::uint64_t cardinality() const;

  /// Calls f(id) for each held id: Small in slot order, Large ascending, Empty none.
  template <class F>
  void for_each(F&& f) const {
    if (const Small* s = small_if()) {
      for (Id id : s->ids()) f(id);
    } else if (const Large* l = large_if()) {
      l->bitmap.for_each(f);
    }
  }
  /// The held ids in iteration order.
  [[nodiscard]] std::vector<Id> to_vector() const;

  /// Checks the invariants; the reason when one is broken.
  [[nodiscard]] std::optional<std::string> verify() const;

 private:
  friend struct HybridSetTestPeer;

  // Sixteen bytes hold either alternative. A Small's first slot is never 0 unless the set is
  // empty, when every slot is; the other alternatives put 0 there and a tag in the second slot
  // (a Large keeps its bitmap in the second half).
  static constexpr Id kLargeTag = 1;
  static constexpr Id kEmptyTag = 2;
  struct Tagged {
    Id zero;
    Id tag;
    Large large;
  };
  static_assert(sizeof(Small) == sizeof(Tagged));

  explicit HybridSet(Small s) noexcept { new (&small_) Small(s); }
  explicit HybridSet(Large l) noexcept { new (&tagged_) Tagged{0, kLargeTag, std::move(l)}; }

  [[nodiscard]] Small* small_if() noexcept { return kind() == Kind::Small ? &small_ : nullptr; }
  [[nodiscard]] const Small* small_if() const noexcept { return kind() == Kind::Small ? &small_ : nullptr; }
  [[nodiscard]] Large* large_if() noexcept { return kind() == Kind::Large ? &tagged_.large : nullptr; }
  [[nodiscard]] const Large* large_if() const noexcept { return kind() == Kind::Large ? &tagged_.large : nullptr; }
  /// Ends whatever alternative is held; leaves the storage to be constructed again.
  void destroy() noexcept {
    if (kind() == Kind::Large) tagged_.~Tagged();
  }
  /// Takes other's content (this storage holds nothing); other becomes Empty.
  void take(HybridSet& other) noexcept {
    if (Large* l = other.large_if()) {
      new (&tagged_) Tagged{0, kLargeTag, Large{std::move(l->bitmap)}};
      other.tagged_.~Tagged();
    } else if (other.kind() == Kind::Small) {
      new (&small_) Small(other.small_);
    } else {
      new (&tagged_) Tagged{0, kEmptyTag, Large{}};
    }
    new (&other.tagged_) Tagged{0, kEmptyTag, Large{}};
  }
  /// Replaces the content by `s` or `l`.
  void become(Small s) noexcept {
    destroy();
    new (&small_) Small(s);
  }
  void become(Large l) noexcept {
    destroy();
    new (&tagged_) Tagged{0, kLargeTag, std::move(l)};
  }

  /// Turns a full Small set into a Large one holding its ids and `id`.
  void grow(Id id);
  /// Applies one of the pairwise rules, chosen by the pair of alternatives.
  template <class Pair>
  void combine(const HybridSet& other);

  union {
    Small small_;
    Tagged tagged_;
  };
};

static_assert(sizeof(HybridSet) == 16, "a value map entry stays small");

}  // namespace vostrel
