// The ranged B-tree's broken invariants: the fatal errors met on the way, and verify's reasons.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tree_test_support.hpp"

namespace vostrel {
namespace {

using namespace tree_test;
using SmallTree = BasicBitMapBTree<8>;
using SmallPeer = BitMapBTreePeer<8>;
using SmallNode = BasicBitMapBTreeNode<8>;

/// A tree of `count` ascending keys 0, 10, 20, ... under ids 0, 1, 2, ...
SmallTree ascending(Id count) {
  SmallTree tree;
  for (Id id = 0; id < count; ++id) tree.insert(static_cast<std::int64_t>(id) * 10, id);
  return tree;
}

SmallNode& leftmost_leaf(SmallNode& node) {
  return node.is_leaf() ? node : leftmost_leaf(node.child_at(0));
}

TEST(BitMapBTreeFailures, BrokenTreesFailWithTheirMessages) {
  const struct {
    const char* name;
    Id keys;
    std::function<void(SmallTree&)> damage_and_act;
    std::string message;
  } cases[] = {
      {"child missing on insert", 40,
       [](SmallTree& t) {
         auto& root = SmallPeer::root_node(t);
         root.children()[root.offset].reset();
         t.insert(std::int64_t{-5}, 900);
       },
       "Missing child"},
      {"child missing on remove", 40,
       [](SmallTree& t) {
         auto& root = SmallPeer::root_node(t);
         root.children()[root.offset].reset();
         t.remove(std::int64_t{0}, 0);
       },
       "Missing child"},
      {"bitmap missing", 200,
       [](SmallTree& t) {
         auto& root = SmallPeer::root_node(t);
         ASSERT_TRUE(root.has_bitmaps());
         ASSERT_FALSE(root.child_at(0).is_full());
         root.bitmaps().clear(root.offset);
         t.insert(std::int64_t{-5}, 900);
       },
       "Bitmap should be present for internal"},
      {"bitmap missing before a split", 200,
       [](SmallTree& t) {
         // More ascending keys until the root's last child is full.
         for (Id id = 200; !t.root().child_at(t.root().len - 1).is_full(); ++id)
           t.insert(static_cast<std::int64_t>(id) * 10, id);
         auto& root = SmallPeer::root_node(t);
         ASSERT_TRUE(root.has_bitmaps());
         root.bitmaps().clear(root.offset + root.len - 1);
         t.insert(std::int64_t{100000}, 900);
       },
       "Bitmap must be initialized before split"},
      {"full leaf root without its first key", 7,
       [](SmallTree& t) {
         auto& leaf = SmallPeer::root_node(t);
         ASSERT_TRUE(leaf.is_full());
         leaf.keys.clear(leaf.offset);
         t.insert(std::int64_t{100000}, 900);
       },
       "invalid offset"},
      {"empty slot met by a search", 12,
       [](SmallTree& t) {
         auto& root = SmallPeer::root_node(t);
         root.keys.clear(root.offset + root.len / 2);
         t.insert(std::int64_t{-5}, 900);
       },
       std::string(kMissingValue)},
  };
  for (const auto& c : cases) {
    SmallTree tree = ascending(c.keys);
    EXPECT_EQ(test::fatal_text([&] { c.damage_and_act(tree); }), c.message) << c.name;
  }
}

TEST(BitMapBTreeFailures, FullInternalRootWithoutItsFirstKey) {
  BasicBitMapBTree<5> tree;
  Id id = 0;
  while (tree.root().is_leaf() || !tree.root().is_full()) {
    tree.insert(static_cast<std::int64_t>(id), id);
    ++id;
  }
  auto& root = BitMapBTreePeer<5>::root_node(tree);
  root.keys.clear(root.offset);
  EXPECT_EQ(test::fatal_text([&] { tree.insert(std::int64_t{100000}, 900); }), "incorrect offset");
}

TEST(BitMapBTreeVerify, ReportsEachBrokenInvariant) {
  const struct {
    const char* name;
    std::function<void(SmallNode&)> damage;
    std::string reason;
  } cases[] = {
      {"id missing from a bitmap", [](SmallNode& r) { r.bitmaps().get(r.offset).remove(0); }, "differs"},
      {"stray id in a bitmap", [](SmallNode& r) { r.bitmaps().get(r.offset).add(777); }, "differs"},
      {"separators out of order",
       [](SmallNode& r) {
         SmallNode& mid = r.child_at(0);
         const std::size_t at = mid.offset + mid.len - 2;
         const Key128 a = mid.keys.get(at), b = mid.keys.get(at + 1);
         mid.keys.put(at, b);
         mid.keys.put(at + 1, a);
       },
       "not ascending"},
      {"run moved without its slots", [](SmallNode& r) { r.offset += r.offset > 0 ? -1 : 1; }, "the run"},
      {"root with one slot",
       [](SmallNode& r) {
         const std::size_t last = r.offset + r.len - 1;
         r.keys.clear(last);
         r.bitmaps().clear(last);
         r.children()[last].reset();
         r.len = 1;
       },
       "fewer than 2"},
      {"leaves at two depths",
       [](SmallNode& r) {
         SmallNode& below = r.child_at(1);
         auto leaf = std::move(below.children()[below.offset]);
         r.children()[r.offset + 1] = std::move(leaf);
       },
       "depth"},
      {"leaf keys out of order",
       [](SmallNode& r) {
         SmallNode& leaf = leftmost_leaf(r);
         const Key128 a = leaf.keys.get(leaf.offset), b = leaf.keys.get(leaf.offset + 1);
         leaf.keys.put(leaf.offset, b);
         leaf.keys.put(leaf.offset + 1, a);
       },
       "out of order"},
      {"leaf key beyond its separator",
       [](SmallNode& r) {
         SmallNode& leaf = leftmost_leaf(r);
         leaf.keys.put(leaf.offset + leaf.len - 1, key_of(std::int64_t{1} << 40, 5));
       },
       "outside its separators"},
      {"empty leaf below the root",
       [](SmallNode& r) {
         SmallNode& leaf = leftmost_leaf(r);
         for (std::size_t i = 0; i < leaf.len; ++i) leaf.keys.clear(leaf.offset + i);
         leaf.len = 0;
       },
       "holds no key"},
      {"id under two values",
       [](SmallNode& r) {
         // The last key takes id 0 under a new value; the bitmaps follow, so only the count of
         // distinct ids tells.
         SmallNode* node = &r;
         while (!node->is_leaf()) node = &node->child_at(node->len - 1);
         const Key128 last = node->key_at(node->len - 1);
         node->keys.put(node->offset + node->len - 1, key_of(std::int64_t{1} << 40, 0));
         for (node = &r; !node->is_leaf(); node = &node->child_at(node->len - 1)) {
           if (!node->has_bitmaps()) continue;
           Bitmap& b = node->bitmaps().get(node->offset + node->len - 1);
           b.remove(key_id(last));
           b.add(0);
         }
       },
       "two values"},
  };
  for (const auto& c : cases) {
    SmallTree tree = ascending(200);
    ASSERT_EQ(tree.verify(), std::nullopt);
    SmallNode& root = SmallPeer::root_node(tree);
    ASSERT_TRUE(root.has_bitmaps());
    c.damage(root);
    const auto reason = tree.verify();
    ASSERT_TRUE(reason.has_value()) << c.name;
    EXPECT_NE(reason->find(c.reason), std::string::npos) << c.name << ": " << *reason;
  }
}

}  // namespace
}  // namespace vostrel
