// The index: the paged store, object ids, records of indexes, and adding, taking out, uniting,
// narrowing, rebasing and assigning, in cases and in a seeded run against a model of the objects
// with verify() after every step.
#include <gtest/gtest.h>

#include <random>

#include "index_support.hpp"

namespace vostrel {
namespace {

using namespace test;  // NOLINT(google-build-using-namespace)

TEST(ObjectStore, PagesExistOnlyWhereObjectsAre) {
  constexpr Id kPage = ObjectStore::kPageSlots;
  const long before = live_refs();
  {
    ObjectStore store;
    HostObject *a = new_object(), *b = new_object(), *c = new_object();
    store.reserve(Bitmap::of({1, 2, 5 * kPage + 3}));
    EXPECT_EQ(store.page_count(), 2u);
    store.put(1, a, 7);
    store.put(5 * kPage + 3, b, 8);
    EXPECT_EQ(fatal_text([&] { store.put(1, c, 9); }), "a store slot that must be empty holds an object");
    EXPECT_EQ(fatal_text([&] { store.put(kPage, c, 9); }), kMissingValue) << "a page never reserved";
    EXPECT_EQ(store.object(1), a);
    EXPECT_EQ(store.at(1).entered, 7u);
    EXPECT_FALSE(store.at(2)) << "reserved, empty";
    EXPECT_FALSE(store.at(3 * kPage)) << "no page";
    std::vector<Id> ids;
    store.for_each([&](Id id, const StoredItem&) { ids.push_back(id); });
    EXPECT_EQ(ids, (std::vector<Id>{1, 5 * kPage + 3}));
    ObjectStore::Reader reader(store);
    EXPECT_EQ(reader.at(1).object, a);
    EXPECT_EQ(reader.at(5 * kPage + 3).object, b);
    EXPECT_EQ(store.verify(), std::nullopt);

    store.reserve(Bitmap::of({2 * kPage}));
    EXPECT_EQ(store.verify(), "store page 2 holds no object");
    store.drop_empty_pages();
    EXPECT_EQ(store.page_count(), 2u);
    EXPECT_EQ(store.take(5 * kPage + 3).get(), b);  // released here
    EXPECT_EQ(store.page_count(), 1u) << "a page left empty goes";
    EXPECT_FALSE(store.take(5 * kPage + 3));
    EXPECT_EQ(store.size(), 1u);

    store.reserve(Bitmap::of({9}));
    store.put(9, c, 10);
    std::vector<OwnedHostRef> out;
    store.take_all(out);
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(store.size() + store.page_count(), 0u);
    EXPECT_EQ(refs(a), 1) << "handed over, not released";
    store.reserve(Bitmap::of({4}));
    store.put(4, out[0].release(), 11);

    // Ids far apart, up to the last one, each cost a page (and its directory), in id order.
    constexpr Id kFar[] = {70'000, 0xFFFF'FFFFu, 0xFFFF'0000u};
    store.reserve(Bitmap::of({kFar[0], kFar[1], kFar[2]}));
    for (const Id id : kFar) store.put(id, new_object(), 12);
    EXPECT_EQ(store.page_count(), 4u);
    ids.clear();
    store.for_each([&](Id id, const StoredItem&) { ids.push_back(id); });
    EXPECT_EQ(ids, (std::vector<Id>{4, kFar[0], kFar[2], kFar[1]}));
    ObjectStore::Reader far(store);
    for (const Id id : {Id{4}, kFar[0], kFar[2], kFar[1]}) EXPECT_TRUE(far.at(id)) << id;
    EXPECT_EQ(store.verify(), std::nullopt);
    (void)store.take(kFar[1]);
    EXPECT_TRUE(store.at(kFar[2])) << "the same directory, another page";
    (void)store.take(kFar[2]);
    EXPECT_FALSE(store.at(kFar[1]));
    EXPECT_EQ(store.page_count(), 2u);
    EXPECT_EQ(store.verify(), std::nullopt);
    out.clear();
  }  // the store releases the rest
  EXPECT_EQ(live_refs(), before);
  EXPECT_EQ(bad_releases(), 0);
}

TEST(IdAllocator, LowestFreeFirstAndNeverTwice) {
  IdAllocator ids(6);
  for (Id expected : {1, 2, 3}) EXPECT_EQ(ids.take(), expected);
  ids.give_back(2);
  EXPECT_EQ(ids.take(), 2u);
  EXPECT_EQ(ids.take(), 4u);
  ids.give_back(4);  // the highest: handed out again next
  for (Id expected : {4, 5, 6}) EXPECT_EQ(ids.take(), expected);
  EXPECT_EQ(ids.take(), std::nullopt);
  EXPECT_EQ(ids.in_use(), 6u);
  ids.give_back(3);
  ids.set_last(2);
  EXPECT_EQ(ids.take(), std::nullopt) << "3 is beyond the last id now";
  ids.set_last(6);
  EXPECT_EQ(ids.take(), 3u);

  // Seeded takes, returns and limits against the set of ids in use.
  std::mt19937 rng(5);
  IdAllocator random(40);
  std::set<Id> in_use;
  Id last = 40;
  for (int step = 0; step < 5000; ++step) {
    if (rng() % 50 == 0) {
      last = 20 + rng() % 21;
      random.set_last(last);
    }
    if (!in_use.empty() && rng() % 2) {
      auto it = std::next(in_use.begin(), static_cast<long>(rng() % in_use.size()));
      random.give_back(*it);
      in_use.erase(it);
    } else {
      std::optional<Id> lowest;
      for (Id id = 1; id <= last && !lowest; ++id)
        if (!in_use.contains(id)) lowest = id;
      ASSERT_EQ(random.take(), lowest) << "step " << step;
      if (lowest) in_use.insert(*lowest);
    }
    ASSERT_EQ(random.in_use(), in_use.size()) << "step " << step;
  }
}

TEST(ObjectId, TheProcessAllocatorRunsOutAndRecovers) {
  std::optional<ObjectId> a = ObjectId::take();
  const Id id = *a;
  GLOBAL_ID_COUNTER.set_last(id);  // every id up to a's is in use
  EXPECT_EQ(ObjectId::take(), std::nullopt);
  a.reset();
  std::optional<ObjectId> b = ObjectId::take();
  GLOBAL_ID_COUNTER.set_last(UINT32_MAX);
  ASSERT_TRUE(b);
  EXPECT_EQ(Id(*b), id) << "the id a gave back";
  ObjectId moved = std::move(*b);
  EXPECT_EQ(Id(*b), 0u);
  EXPECT_EQ(Id(moved), id);
}

TEST(IndexRecords, OnePerIndexSortedAndGoneWithTheIndex) {
  Obj obj;
  Index a = Index::make(), b = Index::make();
  std::optional<Index> gone = Index::make();
  for (const Index* i : {&b, &*gone, &a, &a}) add_index(obj.record, IndexMeta{i->state});
  ASSERT_EQ(obj.record.index_meta.size(), 3u) << "a recorded once";
  gone.reset();
  add_index(obj.record, IndexMeta{DEFAULT_INDEX_ARC().state});
  ASSERT_EQ(obj.record.index_meta.size(), 2u) << "the dead record and the sentinel go";
  EXPECT_TRUE(obj.record.index_meta[0].index.owner_before(obj.record.index_meta[1].index));
  EXPECT_EQ(recorded(obj), (std::set<const void*>{a.state.get(), b.state.get()}));
  remove_index(obj.record, a.state.get());
  EXPECT_EQ(recorded(obj), std::set<const void*>{b.state.get()});
  b = Index::make();
  EXPECT_TRUE(recorded(obj).empty()) << "records do not keep an index alive";
}

TEST(Index, VerifyNamesTheDamage) {
  Obj x;
  x.with("n", int_value(1));
  const std::string id = std::to_string(x.id());
  const struct {
    std::string reason;
    std::function<void(IndexState&)> damage;
  } cases[] = {
      {"the store and ids hold different numbers of objects", [&](IndexState& s) { s.ids.add(x.id() + 1); }},
      {"member 0 has no stored object", [&](IndexState& s) {
         s.ids.remove(x.id());
         s.ids.add(0);
       }},
      {"member " + id + " entered after the current epoch", [](IndexState& s) { s.epoch = 0; }},
      {"attribute n holds non-member " + id, [&](IndexState& s) {
         s.ids.remove(x.id());
         (void)s.stored_items.take(x.id());
       }},
      {"a departure after the current epoch", [](IndexState& s) { s.departed = s.epoch + 1; }},
  };
  for (const auto& c : cases) {
    Index index = Index::make();
    add(index, {&x});
    EXPECT_EQ(index.state->read()->verify(), std::nullopt);
    c.damage(*index.state->write());
    EXPECT_EQ(index.state->read()->verify(), c.reason);
  }
}

TEST(Index, AddOneManyAndAgain) {
  Obj a, b, c;
  a.with("colour", str_value("red")).with("size", int_value(3)).with("_hidden", int_value(1)).with("", int_value(0));
  b.with("colour", str_value("red")).with("size", float_value(4.5)).with("__dunder", int_value(2));
  Index index = Index::make();
  add(index, {&a});
  add(index, {&b, &c});  // c has no attributes: a member all the same
  EXPECT_EQ(describe(index), expected_text({&a, &b, &c}));
  EXPECT_EQ(index.state->read()->query_maps.size(), 3u) << "colour, size and the empty name";
  const std::string before = describe(index, true);
  std::vector<Arrival> again = arrivals({&a, &c});
  add_objects(index, again);
  EXPECT_EQ(describe(index, true), before) << "members change nothing, not even the epoch";
  EXPECT_TRUE(again[0].object) << "the reference stays with the caller";
  again.clear();
  EXPECT_EQ(refs(a.host), 2) << "the test's and the store's";
  EXPECT_EQ(a.record.index_meta.size(), 1u);
  EXPECT_EQ(index.state->read()->verify(), std::nullopt);
}

TEST(Index, AssignmentsMoveTheObjectInEveryIndexThatHoldsIt) {
  Obj x, y;
  x.with("n", int_value(-1)).with("s", str_value("a"));
  y.with("n", int_value(-2));
  Index both = Index::make(), one = Index::make();
  add(both, {&x, &y});
  add(one, {&x});
  const struct {
    const char* name;
    std::function<PyValue()> value;
  } steps[] = {
      {"n", [] { return int_value(-2); }},        // -1 and -2 share a hash: a new place in the tree only
      {"n", [] { return int_value(1); }},
      {"n", [] { return float_value(1.0); }},     // one set, one place
      {"n", [] { return other_value(1); }},       // True: the same set, out of the tree
      {"n", [] { return str_value("one"); }},     // number to non-number ...
      {"n", [] { return float_value(2.5); }},     // ... and back
      {"s", [] { return int_value(7); }},
      {"fresh", [] { return int_value(9); }},     // a new attribute is indexed at once
      {"_private", [] { return int_value(9); }},  // never indexed
      {"n", [] { return float_value(NAN); }},
  };
  for (const auto& step : steps) {
    x.assign(step.name, step.value());
    SCOPED_TRACE(std::string(step.name) + " = " + x.record.find(step.name)->primitave_debug());
    ASSERT_EQ(both.state->read()->verify(), std::nullopt);
    ASSERT_EQ(one.state->read()->verify(), std::nullopt);
    EXPECT_EQ(describe(both), expected_text({&x, &y}));
    EXPECT_EQ(describe(one), expected_text({&x}));
  }
  remove(one, {&x});
  x.assign("n", int_value(5));
  EXPECT_EQ(describe(one), expected_text({})) << "an index the object left is left alone";
  EXPECT_EQ(describe(both), expected_text({&x, &y}));
}

TEST(Index, UnionNarrowingRemovalAndClearing) {
  std::vector<std::unique_ptr<Obj>> owned;
  Objs objs;
  for (int i = 0; i < 6; ++i) {
    objs.push_back(owned.emplace_back(std::make_unique<Obj>()).get());
    objs.back()->with("colour", str_value(i % 2 ? "red" : "blue")).with("n", int_value(i));
  }
  Index mine = Index::make(), theirs = Index::make();
  add(mine, {objs[0], objs[1], objs[2]});
  add(theirs, {objs[2], objs[3], objs[4]});

  // A union adds what the other index has and this one lacks, in id order.
  const Objs missing = objects_of(members_missing_from(mine, theirs), objs);
  EXPECT_EQ(missing, (Objs{objs[3], objs[4]}));
  add(mine, missing);
  EXPECT_EQ(describe(mine), expected_text({objs[0], objs[1], objs[2], objs[3], objs[4]}));
  EXPECT_EQ(describe(theirs), expected_text({objs[2], objs[3], objs[4]}));
  EXPECT_TRUE(members_missing_from(mine, mine).empty());

  // Narrowing to red takes out the others, which no longer record the index.
  const KeywordQuery red{{AttrName("colour"), {str_hash("red")}}};
  const Objs leaving = objects_of(members_not_matching(mine, red), objs);
  remove(mine, leaving);
  EXPECT_EQ(describe(mine), expected_text({objs[1], objs[3]}));
  EXPECT_EQ(recorded(*objs[2]), std::set<const void*>{theirs.state.get()});
  EXPECT_EQ(objects_of(members_not_matching(mine, KeywordQuery()), objs), (Objs{objs[1], objs[3]}))
      << "no keywords match nothing";

  // Clearing hands every reference back; the records stay, but assignments pass the index by.
  std::vector<OwnedHostRef> released;
  clear_index(theirs, released);
  EXPECT_EQ(released.size(), 3u);
  released.clear();
  EXPECT_EQ(describe(theirs), expected_text({}));
  objs[3]->assign("colour", str_value("green"));
  EXPECT_EQ(describe(theirs), expected_text({}));
  EXPECT_EQ(describe(mine), expected_text({objs[1], objs[3]}));

  // Taking a non-member out is a fatal error.
  EXPECT_EQ(fatal_text([&] { remove(mine, {objs[0]}); }), "an object to take out of an index is not in it");
}

// ---------------------------------------------------------------------------------------------
// Randomised: objects come, change and go; indexes add, take out, narrow, unite and rebase; views
// follow them. After every step each index is checked against the objects it must hold.

class IndexModel {
 public:
  explicit IndexModel(std::uint32_t seed) : rng_(seed) {
    for (std::int64_t n = -3; n <= 4; ++n) pool_.push_back([n] { return int_value(n); });
    for (double x : {1.0, 2.5, -0.0, double{NAN}}) pool_.push_back([x] { return float_value(x); });
    for (const char* s : {"a", "b"}) pool_.push_back([s] { return str_value(s); });
    pool_.push_back([] { return other_value(1); });
    for (int i = 0; i < kIndexes; ++i) indexes_.push_back({Index::make(), {}});
  }

  void step(int n) {
    step_ = n;
    switch (below(12)) {
      case 0: create(); break;
      case 1: destroy(); break;
      case 2:
      case 3: add_some(); break;
      case 4: remove_some(); break;
      case 5: reduce(); break;
      case 6: unite(); break;
      case 7: rebase(); break;
      case 8:
      case 9: assign(); break;
      case 10: make_view(); break;
      default:
        if (!views_.empty()) views_.erase(views_.begin() + static_cast<long>(below(views_.size())));
    }
    check();
  }

 private:
  static constexpr int kIndexes = 3;
  static constexpr const char* kNames[] = {"a", "b", "c", "_p"};

  struct IndexEntry {
    Index index;
    std::set<Obj*> members;
  };
  struct ViewEntry {
    FilteredIndex view;
    int index;
    std::set<Obj*> admitted;
  };

  std::size_t below(std::size_t n) { return n == 0 ? 0 : rng_() % n; }
  PyValue value() { return pool_[below(pool_.size())](); }
  Obj* any_object() { return objects_.empty() ? nullptr : objects_[below(objects_.size())].get(); }
  Objs some_objects(std::size_t at_most) {
    std::set<Obj*> picked;
    for (std::size_t k = below(at_most + 1); k > 0; --k)
      if (Obj* o = any_object()) picked.insert(o);
    return {picked.begin(), picked.end()};
  }
  Objs members(int i) const { return {indexes_[i].members.begin(), indexes_[i].members.end()}; }
  Objs all() const {
    Objs out;
    for (const auto& o : objects_) out.push_back(o.get());
    return out;
  }

  /// Runs `op` once with allocations failing part way, now and then; after a failure every index
  /// and object must be as it was.
  template <class Op>
  void maybe_fail(Op&& op) {
    if (below(4) != 0) return;
    std::vector<std::string> before = snapshot();
    bool threw = false;
    {
      FailingAllocations failing(static_cast<long>(below(16)), below(2) == 0);
      try {
        op();
      } catch (const std::bad_alloc&) {
        threw = true;
      }
    }
    if (threw) {
      ASSERT_EQ(snapshot(), before) << "step " << step_ << ": a failure changed the indexes";
    } else {
      throw Done{};  // it went through: the step is made
    }
  }
  struct Done {};
  template <class Op>
  void run(Op&& op) {
    try {
      maybe_fail(op);
      op();
    } catch (Done) {
    }
  }

  std::vector<std::string> snapshot() const {
    std::vector<std::string> out;
    for (const auto& e : indexes_) {
      out.push_back(describe(e.index, true) + (e.index.state->is_poisoned() ? "poisoned" : ""));
    }
    for (const auto& o : objects_) {
      std::string text = std::to_string(refs(o->host));
      for (const void* s : recorded(*o)) {
        text += ' ';
        text += pointer_text(s);
      }
      out.push_back(text);
    }
    return out;
  }

  void create() {
    auto& o = objects_.emplace_back(std::make_unique<Obj>());
    for (const char* name : kNames)
      if (below(3)) o->with(name, value());
  }
  void destroy() {
    Obj* o = any_object();
    if (!o) return;
    for (const auto& e : indexes_)
      if (e.members.contains(o)) return;  // a store keeps its objects alive
    std::erase_if(objects_, [o](const auto& p) { return p.get() == o; });
  }
  void add_some() {
    const int i = static_cast<int>(below(kIndexes));
    const Objs objs = some_objects(4);
    run([&] { add(indexes_[i].index, objs); });
    indexes_[i].members.insert(objs.begin(), objs.end());
  }
  void take_out(int i, const Objs& leaving) {
    remove(indexes_[i].index, leaving);
    for (Obj* o : leaving) {
      indexes_[i].members.erase(o);
      for (ViewEntry& v : views_)
        if (v.index == i) v.admitted.erase(o);
    }
  }
  void remove_some() {
    const int i = static_cast<int>(below(kIndexes));
    Objs leaving;
    for (Obj* o : indexes_[i].members)
      if (below(3) == 0) leaving.push_back(o);
    take_out(i, leaving);
  }
  void reduce() {
    const int i = static_cast<int>(below(kIndexes));
    KeywordQuery query;
    std::map<std::string, std::set<std::uint64_t>> wanted;
    for (std::size_t k = below(3); k > 0; --k) {
      const char* name = kNames[below(3)];
      auto& hashes = wanted[name];
      query.attribute(AttrName(name));
      for (std::size_t m = 1 + below(3); m > 0; --m) {
        const std::uint64_t h = value().hash();
        hashes.insert(h);
        query.add(AttrName(name), h);
      }
    }
    Objs expected;
    for (Obj* o : members(i)) {
      const bool matches = !wanted.empty() && std::all_of(wanted.begin(), wanted.end(), [&](const auto& w) {
        const PyValue* v = o->record.find(w.first);
        return v && w.second.contains(v->hash());
      });
      if (!matches) expected.push_back(o);
    }
    std::sort(expected.begin(), expected.end(), [](Obj* a, Obj* b) { return a->id() < b->id(); });
    const Objs leaving = objects_of(members_not_matching(indexes_[i].index, query), all());
    ASSERT_EQ(leaving, expected) << "step " << step_;
    take_out(i, leaving);
  }
  void unite() {
    const int i = static_cast<int>(below(kIndexes)), j = static_cast<int>(below(kIndexes));
    if (i == j) return;
    const Objs arriving = objects_of(members_missing_from(indexes_[i].index, indexes_[j].index), all());
    Objs expected;
    for (Obj* o : indexes_[j].members)
      if (!indexes_[i].members.contains(o)) expected.push_back(o);
    std::sort(expected.begin(), expected.end(), [](Obj* a, Obj* b) { return a->id() < b->id(); });
    ASSERT_EQ(arriving, expected) << "step " << step_;
    run([&] { add(indexes_[i].index, arriving); });
    indexes_[i].members.insert(arriving.begin(), arriving.end());
  }
  void rebase() {
    if (views_.empty()) return;
    const ViewEntry& v = views_[below(views_.size())];
    const int target = static_cast<int>(below(kIndexes));
    Objs objs = objects_of([&] {
      std::vector<Member> m;
      for (const auto& [id, obj] : admitted(v.view)) m.push_back(Member{id, obj});
      return m;
    }(), all());
    IndexEntry fresh{Index::make(), {}};
    run([&] { add(fresh.index, objs); });
    fresh.members.insert(objs.begin(), objs.end());
    std::erase_if(views_, [&](const ViewEntry& e) { return e.index == target; });
    indexes_[target] = std::move(fresh);  // the old index goes, and with it its records
  }
  void assign() {
    Obj* o = any_object();
    if (!o) return;
    const char* name = kNames[below(std::size(kNames))];
    run([&] { o->assign(name, value()); });
  }
  void make_view() {
    const int i = static_cast<int>(below(kIndexes));
    if (!views_.empty() && below(2)) {
      ViewEntry& from = views_[below(views_.size())];
      Bitmap matched;
      std::set<Obj*> kept;
      for (Obj* o : all())
        if (below(2)) {
          matched.add(o->id());
          if (from.admitted.contains(o)) kept.insert(o);
        }
      views_.push_back({from.view.narrowed(matched), from.index, kept});
      return;
    }
    Bitmap ids;
    std::set<Obj*> picked;
    for (Obj* o : indexes_[i].members)
      if (below(3)) {
        ids.add(o->id());
        picked.insert(o);
      }
    auto s = indexes_[i].index.state->read();
    views_.push_back({FilteredIndex::of(indexes_[i].index, *s, std::move(ids)), i, picked});
  }

  void check() {
    for (int i = 0; i < kIndexes; ++i) {
      const IndexEntry& e = indexes_[i];
      ASSERT_FALSE(e.index.state->is_poisoned()) << "step " << step_;
      ASSERT_EQ(e.index.state->read()->verify(), std::nullopt) << "step " << step_ << " index " << i;
      ASSERT_EQ(describe(e.index), expected_text(members(i))) << "step " << step_ << " index " << i;
    }
    for (const auto& o : objects_) {
      std::set<const void*> expected;
      long held = 1;
      for (const auto& e : indexes_)
        if (e.members.contains(o.get())) {
          expected.insert(e.index.state.get());
          ++held;
        }
      ASSERT_EQ(recorded(*o), expected) << "step " << step_ << " object " << o->id();
      ASSERT_EQ(refs(o->host), held) << "step " << step_ << " object " << o->id();
    }
    for (const ViewEntry& v : views_) {
      std::vector<std::pair<Id, HostObject*>> expected;
      for (Obj* o : v.admitted) expected.emplace_back(o->id(), o->host);
      std::sort(expected.begin(), expected.end());
      ASSERT_EQ(admitted(v.view), expected) << "step " << step_;
    }
  }

  std::mt19937 rng_;
  std::vector<std::function<PyValue()>> pool_;
  std::vector<std::unique_ptr<Obj>> objects_;
  std::vector<IndexEntry> indexes_;
  std::vector<ViewEntry> views_;
  int step_ = 0;
};

TEST(Index, RandomisedAgainstModel) {
  const long before = live_refs();
  for (std::uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    IndexModel model(seed);
    for (int step = 0; step < 1500; ++step) {
      model.step(step);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_EQ(live_refs(), before);
  EXPECT_EQ(bad_releases(), 0);
}

}  // namespace
}  // namespace vostrel
