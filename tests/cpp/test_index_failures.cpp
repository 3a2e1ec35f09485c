// Memory running out part way through an index operation: at every allocation the operation
// makes, it gives up with std::bad_alloc and leaves every index, record and reference as it was,
// with no lock poisoned.
#include <gtest/gtest.h>

#include "index_support.hpp"

namespace vostrel {
namespace {

using namespace test;  // NOLINT(google-build-using-namespace)

/// Three indexes over 300 objects with enough distinct numbers that their trees have split:
/// first holds objects 0..199, second 100..299, third 0..120. No operation below adds enough
/// numbers to one tree to make its root split.
struct Fixture {
  std::vector<std::unique_ptr<Obj>> owned;
  Objs objs;
  Index first = Index::make(), second = Index::make(), third = Index::make();
  std::optional<Index> fresh = Index::make();  // the target of a rebase

  Fixture() {
    for (int k = 0; k < 300; ++k) {
      Obj& o = *owned.emplace_back(std::make_unique<Obj>());
      objs.push_back(&o);
      o.with("n", k % 4 ? int_value(k) : float_value(k + 0.5)).with("s", str_value(std::to_string(k % 5)));
      if (k >= 250) o.with("late", int_value(k));
      if (k == 250) o.with("extra", str_value("e"));
    }
    add(first, range(0, 200));
    add(second, range(100, 300));
    add(third, range(0, 121));
  }
  Objs range(std::size_t from, std::size_t to) const { return {objs.begin() + from, objs.begin() + to}; }

  std::vector<const Index*> indexes() const {
    std::vector<const Index*> out{&first, &second, &third};
    if (fresh) out.push_back(&*fresh);
    return out;
  }
  /// Everything an operation may change, as text.
  std::string snapshot() const {
    std::string out;
    for (const Index* i : indexes()) {
      if (i->state->is_poisoned()) {
        out += "POISONED\n";
        continue;
      }
      out += describe(*i, true);
      if (auto reason = i->state->read()->verify()) out += "BROKEN: " + *reason + "\n";
    }
    for (const Obj* o : objs) {
      out += std::to_string(refs(o->host));
      for (const void* s : recorded(*o)) out += " " + pointer_text(s);
      out += "\n";
    }
    return out;
  }
};

TEST(IndexFailures, EveryAllocationOfAnOperationLeavesAllAsItWas) {
  const struct {
    const char* what;
    std::function<void(Fixture&)> op;
  } cases[] = {
      {"add one with new attributes", [](Fixture& f) { add(f.first, {f.objs[250]}); }},
      {"add many", [](Fixture& f) { add(f.first, f.range(200, 300)); }},
      {"union", [](Fixture& f) { add(f.third, objects_of(members_missing_from(f.third, f.first), f.objs)); }},
      {"rebase", [](Fixture& f) {
         f.fresh = Index::make();
         add(*f.fresh, f.range(0, 80));
       }},
      {"assign a number in three indexes", [](Fixture& f) { f.objs[40]->assign("n", int_value(1000)); }},
      {"assign a new attribute in three indexes", [](Fixture& f) { f.objs[42]->assign("m", float_value(2.5)); }},
      {"remove", [](Fixture& f) { remove(f.first, f.range(0, 150)); }},
      {"reduce", [](Fixture& f) {
         const KeywordQuery query{{AttrName("s"), {str_hash("1"), str_hash("2")}}};
         remove(f.second, objects_of(members_not_matching(f.second, query), f.objs));
       }},
  };
  const long refs_before = live_refs();
  for (const bool persistent : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (persistent ? ", persistent" : ", one allocation"));
      Fixture f;
      const std::string before = f.snapshot();
      long failures = fail_each_allocation(
          [&] { c.op(f); },
          [&](long n) { ASSERT_EQ(f.snapshot(), before) << "failure at allocation " << n; },
          persistent);
      if (HasFatalFailure()) return;
      for (const Index* i : f.indexes()) {
        EXPECT_FALSE(i->state->is_poisoned());
        EXPECT_EQ(i->state->read()->verify(), std::nullopt);
      }
      RecordProperty(std::string(c.what) + (persistent ? " (persistent)" : ""), static_cast<int>(failures));
    }
  }
  EXPECT_EQ(live_refs(), refs_before);
  EXPECT_EQ(bad_releases(), 0);
}

TEST(IndexFailures, ClearingMeetingAFailedAllocationPoisonsNothing) {
  Fixture f;
  const std::string before = f.snapshot();
  std::vector<OwnedHostRef> released;
  fail_each_allocation([&] { clear_index(f.first, released); },
                       [&](long n) { ASSERT_EQ(f.snapshot(), before) << "failure at allocation " << n; });
  EXPECT_EQ(released.size(), 200u);
}

}  // namespace
}  // namespace vostrel
