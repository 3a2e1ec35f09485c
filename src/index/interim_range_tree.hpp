// Ordered (number, id) pairs for one attribute, used until the ranged bitmap tree is merged in.
//
// Offers the part of the tree's interface that the value map calls (insert, remove, verify) over a
// plain ordered set, so the map and its callers build and test on their own. Delete this header
// once `ranged_b_tree.hpp` is present: `query_map.hpp` then includes the real tree instead.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>

#include "index/bitmap.hpp"

namespace vostrel {

/// A number as the tree orders it: signed 64-bit integer or double.
class NumericValue {
 public:
  explicit NumericValue(std::int64_t n) noexcept : v_(n) {}
  explicit NumericValue(double x) noexcept : v_(x) {}
  [[nodiscard]] bool is_int() const noexcept { return v_.index() == 0; }
  /// The value as a double, for ordering only.
  [[nodiscard]] double approx() const noexcept {
    return is_int() ? static_cast<double>(std::get<0>(v_)) : std::get<1>(v_);
  }
  friend bool operator<(const NumericValue& a, const NumericValue& b) noexcept { return a.v_ < b.v_; }
  friend bool operator==(const NumericValue& a, const NumericValue& b) noexcept = default;

 private:
  std::variant<std::int64_t, double> v_;
};

class BitMapBTree {
 public:
  BitMapBTree() = default;
  BitMapBTree(BitMapBTree&&) noexcept = default;
  BitMapBTree& operator=(BitMapBTree&&) noexcept = default;

  /// Adds the pair; the caller never adds a pair the tree holds.
  void insert(NumericValue v, Id id) { keys_.emplace(v, id); }
  /// Removes the pair; true when it was held.
  bool remove(NumericValue v, Id id) { return keys_.erase({v, id}) == 1; }
  [[nodiscard]] std::size_t size() const noexcept { return keys_.size(); }
  [[nodiscard]] bool contains(NumericValue v, Id id) const { return keys_.count({v, id}) == 1; }
  [[nodiscard]] std::optional<std::string> verify() const { return std::nullopt; }

 private:
  std::set<std::pair<NumericValue, Id>> keys_;
};

}  // namespace vostrel
