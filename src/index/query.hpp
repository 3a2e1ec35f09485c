// Query evaluation: expression trees and keyword filters against an index's attribute table.
//
// Both evaluators read the table, which the caller keeps locked (for reading, or for writing while
// it changes the index) for the whole call; they never call the host and never change the table.
// Every result is a new bitmap owned by the caller.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "index/attr_name.hpp"
#include "index/bitmap.hpp"
#include "index/query_expr.hpp"
#include "index/query_map.hpp"

namespace vostrel {

/// The host hashes given for one keyword: a value is one of them when its hash is.
using KeywordValues = boost::unordered_flat_set<std::uint64_t, HostHashHash>;

/// A keyword filter: an object matches when, for every attribute named, it holds one of that
/// attribute's values. Attributes and values come out in no particular order; no result depends
/// on it.
class KeywordQuery {
 public:
  using Attributes = boost::unordered_flat_map<AttrName, KeywordValues, AttrNameHash>;

  /// No attributes: matches nothing.
  KeywordQuery() = default;
  /// Each attribute with the host hashes of its values, for building a query in one expression.
  KeywordQuery(std::initializer_list<std::pair<AttrName, std::vector<std::uint64_t>>> attributes);

  /// The values of `name`, added empty when the name is new. An attribute left with no values
  /// matches nothing; naming an attribute again adds to its values.
  KeywordValues& attribute(AttrName name);
  /// Adds one value (by its host hash) for `name`.
  void add(AttrName name, std::uint64_t hash) { attribute(std::move(name)).insert(hash); }

  [[nodiscard]] const Attributes& attributes() const noexcept { return attributes_; }
  [[nodiscard]] bool empty() const noexcept { return attributes_.empty(); }
  [[nodiscard]] std::size_t size() const noexcept { return attributes_.size(); }

 private:
  Attributes attributes_;
};

/// The ids that match `expr` given `candidates`. `Eq` gives every id holding its value, among the
/// candidates or not; `Ne`, `Not`, `In`, `Has` and the comparisons give candidates only; `And`
/// narrows the candidates from left to right and stops once nothing is left (`And()` is the
/// candidates); `Or` unites (`Or()` is empty). Comparisons hold only between numbers: a bound that
/// is not an int or a float, or is NaN, matches nothing, and NaN values never match a comparison.
[[nodiscard]] Bitmap evaluate_query(const QueryMapTable& table, const Bitmap& candidates, const QueryExpr& expr);

/// The ids that hold, for every attribute of `query`, one of its values. Attributes are taken from
/// the fewest holders to the most, and the work stops at the first empty intersection; a query
/// with no attributes, or naming one the table lacks, gives an empty result.
[[nodiscard]] Bitmap filter_index_by_hashes(const QueryMapTable& table, const KeywordQuery& query);

}  // namespace vostrel
