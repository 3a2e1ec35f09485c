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
#include <variant>
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
  /// for a value, and four ids keep the inline form no larger than a few words.
  static constexpr std::size_t kSmallCapacity = 4;

  /// Which alternative a set holds, in variant order.
  enum class Kind : std::uint8_t { Empty, Small, Large };

  /// Transitional state: content moved out (by a move) or never put back after a failure.
  struct Empty {};

  /// Up to kSmallCapacity distinct ids, in the order they were added.
  /// Fields: `ids_[0..count_)` are the held ids, pairwise distinct; `ids_[count_..)` are zero;
  /// `count_` is at most kSmallCapacity.
  class Small {
   public:
    Small() = default;
    explicit Small(Id id) noexcept : ids_{id}, count_(1) {}

    /// The held ids in slot order.
    [[nodiscard]] std::span<const Id> ids() const {
      if (count_ > kSmallCapacity) [[unlikely]]
        fatal_out_of_range();
      return {ids_.data(), count_};
    }
    [[nodiscard]] std::size_t count() const noexcept { return count_; }
    [[nodiscard]] bool is_full() const noexcept { return count_ >= kSmallCapacity; }
    [[nodiscard]] bool contains(Id id) const {
      for (Id held : ids())
        if (held == id) return true;
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
    void push(Id id) noexcept { ids_[count_++] = id; }
    /// Removes the id if held, moving later ids down one slot.
    void erase(Id id);
    /// Keeps, in order, the ids for which keep(id) holds.
    template <class Keep>
    void retain(Keep&& keep) {
      const std::size_t n = ids().size();
      count_ = 0;
      for (std::size_t i = 0; i < n; ++i)
        if (keep(ids_[i])) ids_[count_++] = ids_[i];
      for (std::size_t i = count_; i < n; ++i) ids_[i] = 0;
    }

    std::array<Id, kSmallCapacity> ids_{};
    std::size_t count_ = 0;
  };

  /// Any number of ids, in an owned bitmap.
  struct Large {
    Bitmap bitmap;
  };

  /// An empty Small set.
  HybridSet() noexcept = default;
  /// A Small set holding one id: the set of a value when it is first seen.
  [[nodiscard]] static HybridSet from_id(Id id) noexcept { return HybridSet(Small(id)); }
  /// A Large set that takes over `bitmap`.
  [[nodiscard]] static HybridSet from_bitmap(Bitmap bitmap) noexcept {
    return HybridSet(Large{std::move(bitmap)});
  }

  /// Moves leave the source Empty.
  HybridSet(HybridSet&& other) noexcept : state_(std::exchange(other.state_, Empty{})) {}
  HybridSet& operator=(HybridSet&& other) noexcept {
    if (this != &other) state_ = std::exchange(other.state_, Empty{});
    return *this;
  }
  HybridSet(const HybridSet&) = delete;
  HybridSet& operator=(const HybridSet&) = delete;
  /// A deep copy.
  [[nodiscard]] HybridSet clone() const;

  /// Adds the id in place; a held id changes nothing. The fifth distinct id makes the set Large.
  /// True when the id was not held before.
  bool add(Id id) {
    if (auto* s = std::get_if<Small>(&state_)) {
      if (s->contains(id)) return false;
      if (!s->is_full()) {
        s->push(id);
        return true;
      }
      grow(id);
      return true;
    }
    if (auto* l = std::get_if<Large>(&state_)) return l->bitmap.add_checked(id);
    fatal("not implemented");
  }
  /// Removes the id in place, if held. A Large set stays Large, also when it becomes empty.
  void remove(Id id);
  /// True when no id is held.
  [[nodiscard]] bool is_empty() const {
    if (const auto* s = std::get_if<Small>(&state_)) return s->count() == 0;
    if (const auto* l = std::get_if<Large>(&state_)) return l->bitmap.is_empty();
    fatal("not yet implemented");
  }
  /// This set becomes the union with `other`.
  void or_inplace(const HybridSet& other);
  /// This set becomes the intersection with `other`.
  void and_inplace(const HybridSet& other);
  /// A new bitmap with the held ids; the set is unchanged.
  [[nodiscard]] Bitmap as_bitmap() const;

  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(state_.index()); }
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
    if (const auto* s = std::get_if<Small>(&state_)) {
      for (Id id : s->ids()) f(id);
    } else if (const auto* l = std::get_if<Large>(&state_)) {
      l->bitmap.for_each(f);
    }
  }
  /// The held ids in iteration order.
  [[nodiscard]] std::vector<Id> to_vector() const;

  /// Checks the invariants; the reason when one is broken.
  [[nodiscard]] std::optional<std::string> verify() const;

 private:
  friend struct HybridSetTestPeer;

  explicit HybridSet(Small s) noexcept : state_(s) {}
  explicit HybridSet(Large l) noexcept : state_(std::move(l)) {}

  /// Turns a full Small set into a Large one holding its ids and `id`.
  void grow(Id id);
  /// Applies one of the pairwise rules, chosen by the pair of alternatives.
  template <class Pair>
  void combine(const HybridSet& other);

  std::variant<Empty, Small, Large> state_{Small()};
};

}  // namespace vostrel
