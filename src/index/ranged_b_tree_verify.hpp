// The ranged bitmap B-tree's verifier: walks a tree and checks every invariant written beside
// the node, stopping at the first broken one. Included only through ranged_b_tree_impl.hpp.
#pragma once

#include <optional>
#include <string>

#include "index/ranged_b_tree.hpp"

namespace vostrel::detail {

template <std::size_t S>
class TreeVerifier {
 public:
  using Node = BasicBitMapBTreeNode<S>;

  std::optional<std::string> run(const Node& root, std::size_t size) {
    if (!root.is_leaf() && root.len < 2)
      return "internal root holds " + std::to_string(root.len) + " slots, fewer than 2";
    Bitmap ids;
    check(root, std::nullopt, std::nullopt, true, "root", ids);
    if (error_) return error_;
    if (keys_ != size) return "the tree counts " + std::to_string(size) + " pairs but holds " + std::to_string(keys_);
    if (ids.cardinality() != keys_) return "an id is held under two values";
    return std::nullopt;
  }

 private:
  using Limit = std::optional<Key128>;

  void fail(const std::string& where, const std::string& what) {
    if (!error_) error_ = where + ": " + what;
  }
  static bool within(Key128 key, const Limit& lo, const Limit& hi) {
    return (!lo || key >= *lo) && (!hi || key < *hi);
  }

  /// Run bounds, and keys present exactly on the run.
  bool check_run(const Node& n, const std::string& where) {
    if (n.len > S - 1) {
      fail(where, "len " + std::to_string(n.len) + " exceeds " + std::to_string(S - 1));
      return false;
    }
    if (n.offset + n.len > S - 1) {
      fail(where, "run [" + std::to_string(n.offset) + ", " + std::to_string(n.offset + n.len) +
                      ") reaches the last slot");
      return false;
    }
    if (!n.keys.occupied_exactly(n.offset, n.offset + n.len)) {
      fail(where, "keys do not fill exactly the run [" + std::to_string(n.offset) + ", " +
                      std::to_string(n.offset + n.len) + ")");
      return false;
    }
    return true;
  }

  void check(const Node& node, const Limit& lo, const Limit& hi, bool is_root, const std::string& where,
             Bitmap& ids) {
    if (error_ || !check_run(node, where)) return;
    if (node.is_leaf()) {
      if (node.len == 0 && !is_root) return fail(where, "a leaf other than the root holds no key");
      std::vector<Id> leaf_ids;
      for (std::size_t i = 0; i < node.len; ++i) {
        const Key128 k = node.key_at(i);
        if (i > 0 && k <= node.key_at(i - 1)) return fail(where, "keys out of order at position " + std::to_string(i));
        if (!within(k, lo, hi)) return fail(where, "key at position " + std::to_string(i) + " lies outside its separators");
        leaf_ids.push_back(key_id(k));
      }
      keys_ += node.len;
      std::sort(leaf_ids.begin(), leaf_ids.end());
      ids = Bitmap::of_sorted(leaf_ids);
      return;
    }
    if (node.len == 0) return fail(where, "internal node without slots");
    for (std::size_t i = 0; i < S; ++i) {
      const bool in_run = i >= node.offset && i < node.offset + node.len;
      if (in_run != (node.child(i) != nullptr))
        return fail(where, "slot " + std::to_string(i) + (in_run ? " inside the run has no child" : " outside the run holds a child"));
    }
    if (node.has_bitmaps() && !node.bitmaps().occupied_exactly(node.offset, node.offset + node.len))
      return fail(where, "bitmaps do not fill exactly the run");
    for (std::size_t i = 1; i < node.len; ++i) {
      const Key128 k = node.key_at(i);
      if (i > 1 && k <= node.key_at(i - 1)) return fail(where, "separators not ascending at position " + std::to_string(i));
      if (!within(k, lo, hi)) return fail(where, "separator at position " + std::to_string(i) + " lies outside its parent's range");
    }
    for (std::size_t i = 0; i < node.len; ++i) {
      const Node& child = node.child_at(i);
      const std::string child_where = where + "/" + std::to_string(node.offset + i);
      if (child.level + 1 != node.level)
        return fail(child_where, "a child at level " + std::to_string(child.level) + " under level " +
                                     std::to_string(node.level) + ": leaves at two depths");
      const Limit child_lo = i == 0 ? lo : Limit(node.key_at(i));
      const Limit child_hi = i + 1 < node.len ? Limit(node.key_at(i + 1)) : hi;
      Bitmap below;
      check(child, child_lo, child_hi, false, child_where, below);
      if (error_) return;
      if (node.has_bitmaps() && !(node.bitmaps().get(node.offset + i) == below))
        return fail(child_where, "slot bitmap differs from the ids below the child");
      if (ids.is_empty())
        ids = std::move(below);
      else
        ids.or_inplace(below);
    }
  }

  std::optional<std::string> error_;
  std::size_t keys_ = 0;
};

}  // namespace vostrel::detail
