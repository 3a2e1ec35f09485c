// Attribute names: inline and shared storage, copies, ordering and hashing by text.
#include <gtest/gtest.h>

#include <boost/unordered/unordered_flat_map.hpp>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "index/attr_name.hpp"

namespace vostrel {
namespace {

TEST(AttrName, InlineUpTo23BytesSharedBeyond) {
  for (std::size_t n : {0, 1, 22, 23, 24, 25, 300}) {
    const std::string text(n, 'a' + n % 26);
    const AttrName name(text);
    EXPECT_EQ(name.view(), text);
    EXPECT_EQ(name.is_inline(), n <= AttrName::kInlineCapacity) << n;
    const AttrName copy = name;
    EXPECT_EQ(copy, name);
    EXPECT_EQ(copy.view().data() == name.view().data(), !name.is_inline()) << n;
  }
  const std::string with_nul("a\0b", 3);
  EXPECT_EQ(AttrName(with_nul).view(), with_nul);
}

TEST(AttrName, MovesLeaveTheEmptyName) {
  for (std::size_t n : {5, 40}) {
    AttrName a(std::string(n, 'x'));
    const char* data = a.view().data();
    AttrName b = std::move(a);
    EXPECT_TRUE(a.view().empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(b.view(), std::string(n, 'x'));
    EXPECT_EQ(b.view().data() == data, !b.is_inline());
    a = b;
    b = std::move(a);
    const AttrName& alias = b;
    b = alias;  // self-assignment keeps the share
    EXPECT_EQ(b.view(), std::string(n, 'x'));
  }
}

TEST(AttrName, ComparedAndHashedByText) {
  const std::string long_a(30, 'a'), long_b = long_a + "b";
  const std::vector<std::string> texts = {"", "a", "ab", "b", long_a, long_b, "colour"};
  for (const auto& x : texts) {
    for (const auto& y : texts) {
      const AttrName a(x), b(y);
      EXPECT_EQ(a == b, x == y);
      EXPECT_EQ(a <=> b, std::string_view(x) <=> std::string_view(y));
    }
    EXPECT_EQ(std::hash<AttrName>{}(AttrName(x)), std::hash<AttrName>{}(AttrName(x)));
    EXPECT_EQ(AttrName(x), std::string_view(x));
  }
  std::unordered_set<AttrName> std_set;
  boost::unordered_flat_map<AttrName, int> flat;
  for (const auto& t : texts) {
    std_set.insert(AttrName(t));
    flat[AttrName(t)] += 1;
    flat[AttrName(t)] += 1;
  }
  EXPECT_EQ(std_set.size(), texts.size());
  EXPECT_EQ(flat.size(), texts.size());
  EXPECT_EQ(flat.at(AttrName(long_b)), 2);
}

// Copies of one shared name made and dropped on several threads; the sanitizer build checks
// that the count never frees early or twice.
TEST(AttrName, SharedCopiesAcrossThreads) {
  const AttrName name(std::string(64, 'n'));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&name] {
      std::vector<AttrName> copies;
      for (int i = 0; i < 2000; ++i) copies.push_back(name);
      for (const AttrName& c : copies) ASSERT_EQ(c.view().data(), name.view().data());
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(name.view(), std::string(64, 'n'));
}

}  // namespace
}  // namespace vostrel
