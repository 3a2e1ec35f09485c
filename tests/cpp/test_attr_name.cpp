// Attribute names: interning (one record per text, gone with its last holder), identity equality,
// ordering and hashing by text, and names shared across threads.
#include <gtest/gtest.h>

#include <boost/unordered/unordered_flat_map.hpp>
#include <string>
#include <thread>
#include <vector>

#include "index/attr_name.hpp"

namespace vostrel {
namespace {

TEST(AttrName, OneRecordPerTextUntilTheLastHolderGoes) {
  const std::size_t before = AttrName::interned_count();
  for (const std::string& text : {std::string("colour"), std::string(300, 'x'), std::string("a\0b", 3)}) {
    std::optional<AttrName> a(std::in_place, text);
    const AttrName b(std::string_view(text).substr(0));  // interned again from another buffer
    EXPECT_EQ(a->view(), text);
    EXPECT_EQ(a->view().data(), b.view().data()) << "one record per text";
    EXPECT_EQ(*a, b);
    EXPECT_EQ(a->hash(), name_hash(text));
    EXPECT_EQ(AttrName::interned_count(), before + 1);
    AttrName copy = *a;
    a.reset();
    EXPECT_EQ(copy.view(), text) << "a copy keeps the record";
  }
  EXPECT_EQ(AttrName::interned_count(), before) << "records leave with their last holder";

  const AttrName empty, also_empty(""), moved_from = [] {
    AttrName n("x");
    AttrName taken = std::move(n);
    return n;  // NOLINT(bugprone-use-after-move): a moved-from name is the empty name
  }();
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty, also_empty);
  EXPECT_EQ(empty, moved_from);
  EXPECT_EQ(AttrName::interned_count(), before) << "the empty name is never interned";
}

TEST(AttrName, CopiesMovesAndSelfAssignment) {
  AttrName a("size");
  AttrName b = std::move(a);
  EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move)
  a = b;
  b = std::move(a);
  const AttrName& alias = b;
  b = alias;
  b = std::move(b);  // NOLINT: self-move keeps the name
  EXPECT_EQ(b, std::string_view("size"));
}

TEST(AttrName, EqualByTextOrderedAndHashedByText) {
  const std::string long_a(30, 'a'), long_b = long_a + "b";
  const std::vector<std::string> texts = {"", "a", "ab", "b", long_a, long_b, "colour"};
  boost::unordered_flat_map<AttrName, int, AttrNameHash> flat;
  for (const auto& x : texts) {
    for (const auto& y : texts) {
      const AttrName a(x), b(y);
      EXPECT_EQ(a == b, x == y);
      EXPECT_EQ(a <=> b, std::string_view(x) <=> std::string_view(y));
    }
    EXPECT_EQ(std::hash<AttrName>{}(AttrName(x)), name_hash(x));
    flat[AttrName(x)] += 1;
    flat[AttrName(x)] += 1;
  }
  EXPECT_EQ(flat.size(), texts.size());
  EXPECT_EQ(flat.at(AttrName(long_b)), 2);
}

// Threads intern, copy and drop the same few texts at once; the sanitizer build checks that no
// record is freed early or twice, and the table ends as it started.
TEST(AttrName, InterningAndDroppingAcrossThreads) {
  const std::size_t before = AttrName::interned_count();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 3000; ++i) {
        const AttrName a("shared" + std::to_string((i + t) % 5));
        std::vector<AttrName> copies(3, a);
        ASSERT_EQ(copies.back().view(), a.view());
        ASSERT_EQ(AttrName(a.view()), a);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(AttrName::interned_count(), before);
}

}  // namespace
}  // namespace vostrel
