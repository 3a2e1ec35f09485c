// Helpers of the index tests: objects as the host layer makes them, the index operations as its
// methods call them, and an index's contents as text, also as a model of the objects expects them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "index/filtered_index.hpp"
#include "index/indexable.hpp"
#include "test_support.hpp"

namespace vostrel::test {

/// An indexable object: a fake host object (one reference is the test's own) and its record,
/// with an id from the process-wide allocator that goes back when the object does.
struct Obj {
  HostObject* host = new_object();
  Indexable record;

  Obj() { record.id = std::move(*ObjectId::take()); }
  Obj(const Obj&) = delete;
  Obj& operator=(const Obj&) = delete;
  ~Obj() { host::release(host); }

  [[nodiscard]] Id id() const { return record.id; }
  /// Sets an attribute without any index noticing (as the constructor does).
  Obj& with(std::string_view name, PyValue value) {
    record.attributes.insert_or_assign(AttrName(name), std::move(value));
    return *this;
  }
  /// Assigns an attribute as the host does: room for it first, then every index, then the object.
  void assign(std::string_view name, PyValue value) {
    auto it = record.attributes.find(NameKey{name_hash(name), name});
    const bool known = it != record.attributes.end();
    const AttrName attr = known ? it->first : AttrName(name);
    if (!known) record.attributes.reserve(record.attributes.size() + 1);
    update_indexes(record, attr, known ? &record.attributes.find(attr)->second : nullptr, value);
    record.attributes.insert_or_assign(attr, std::move(value));
  }
};

using Objs = std::vector<Obj*>;

/// The records of `objs`, in order.
inline std::vector<Indexable*> records(const Objs& objs) {
  std::vector<Indexable*> out;
  for (Obj* o : objs) out.push_back(&o->record);
  return out;
}

/// Arrivals of `objs`, each with a new reference to its host object.
inline std::vector<Arrival> arrivals(const Objs& objs) {
  std::vector<Arrival> out;
  for (Obj* o : objs) out.push_back(Arrival{&o->record, OwnedHostRef::adopt(new_ref(o->host))});
  return out;
}

inline void add(const Index& index, const Objs& objs) {
  std::vector<Arrival> a = arrivals(objs);
  add_objects(index, a);
}

inline void remove(const Index& index, const Objs& objs) {
  std::vector<OwnedHostRef> released;
  remove_objects(index, records(objs), released);
}

/// The objects behind members, found among `all` by their host objects.
inline Objs objects_of(const std::vector<Member>& members, const Objs& all) {
  Objs out;
  for (const Member& m : members) {
    auto it = std::find_if(all.begin(), all.end(), [&](Obj* o) { return o->host == m.object; });
    out.push_back(it == all.end() ? nullptr : *it);
  }
  return out;
}

inline std::string pointer_text(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%" PRIxPTR, reinterpret_cast<std::uintptr_t>(p));
  return buf;
}

/// The value maps of a table as text, by attribute name.
inline std::string table_text(const QueryMapTable& table) {
  std::map<std::string, const QueryMap*> by_name;
  for (const auto& [name, map] : table) by_name[std::string(name.view())] = map.get();
  std::string out;
  for (const auto& [name, map] : by_name) out += "[" + name + "]\n" + map_text(*map);
  return out;
}

/// An index as text: its members (id, object and, with `epochs`, when it entered), its ids, and
/// its value maps.
inline std::string describe(const IndexState& s, bool epochs = false) {
  std::string out = "members:";
  s.stored_items.for_each([&](Id id, const StoredItem& slot) {
    out += spaced(id) + "=" + pointer_text(slot.object);
    if (epochs) out += "@" + std::to_string(slot.entered);
  });
  out += "\nids:";
  for (Id id : s.ids.to_vector()) out += spaced(id);
  if (epochs) out += "\nepoch " + std::to_string(s.epoch) + " departed " + std::to_string(s.departed);
  return out + "\n" + table_text(s.query_maps);
}
inline std::string describe(const Index& index, bool epochs = false) { return describe(*index.state->read(), epochs); }

/// The text `describe` gives for an index that holds exactly `members` as they are now.
inline std::string expected_text(Objs members) {
  std::sort(members.begin(), members.end(), [](Obj* a, Obj* b) { return a->id() < b->id(); });
  std::string out = "members:", ids = "\nids:";
  QueryMapTable table;
  for (Obj* o : members) {
    out += spaced(o->id()) + "=" + pointer_text(o->host);
    ids += spaced(o->id());
    for (const auto& [name, value] : o->record.attributes) {
      if (!is_indexable_name(name.view())) continue;
      auto& map = table[name];
      if (!map) map = std::make_unique<QueryMap>();
      map->insert(value, o->id());
    }
  }
  return out + ids + "\n" + table_text(table);
}

/// The indexes whose records the object resolves to, as their states' addresses.
inline std::set<const void*> recorded(const Obj& o) {
  std::set<const void*> out;
  for (const SharedState& s : resolve_distinct(o.record)) out.insert(s.get());
  return out;
}

/// (id, object) of every object the view admits, in id order.
inline std::vector<std::pair<Id, HostObject*>> admitted(const FilteredIndex& view) {
  std::vector<std::pair<Id, HostObject*>> out;
  auto s = view.state->read();
  for_each_admitted(*s, view, [&](Id id, HostObject* obj) { out.emplace_back(id, obj); });
  EXPECT_EQ(admitted_ids(*s, view).cardinality(), out.size());
  return out;
}

}  // namespace vostrel::test
