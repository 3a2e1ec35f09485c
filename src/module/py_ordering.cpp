// Ordering and counting the objects of an index or a view by one attribute: sorted_by and
// value_counts, shared by Index and FilteredIndex.
#include <algorithm>
#include <optional>
#include <vector>

#include "index/ordering.hpp"
#include "module/ordering.hpp"

namespace vostrel::py {

namespace {

constexpr std::string_view kAttrParams[] = {"attr"};
constexpr std::string_view kSortKeywords[] = {"reverse", "limit"};

/// The host object of `obj`'s value under `name`, which a value map lists it under; null, with
/// the borrow conflict in `refused`, for an object held exclusively. Such an object is being
/// assigned on another thread, which changes the indexes before the object's own attribute, so
/// its attribute may not be the value the map lists it under yet: the caller refuses it as an
/// attribute read would, once it holds no lock.
PyObject* value_of(HostObject* obj, std::string_view name, const char*& refused) {
  IndexableInstance* inst = stored_indexable(obj);
  if ((refused = inst->borrow.conflict(false))) return nullptr;
  const PyValue* v = inst->record.find(name);
  if (!v) fatal_missing_value();  // an object the value map lists holds the attribute
  return v->obj();
}

/// The admitted ids of a view as one bitmap, or null for a whole index (every holder is admitted).
struct Admitted {
  std::optional<Bitmap> owned;
  const Bitmap* ids = nullptr;

  Admitted(const IndexState& s, const FilteredIndex* view) {
    if (!view) return;
    if (unchanged_since(s, *view)) {
      ids = &view->ids;
    } else {
      owned.emplace(admitted_ids(s, *view));
      ids = &*owned;
    }
  }
  /// Every admitted id, of the whole index when there is no view.
  [[nodiscard]] const Bitmap& all(const IndexState& s) const { return ids ? *ids : s.ids; }
};

/// New references to the stored objects of `ids`, in order (the caller holds the lock).
void take_objects(const IndexState& s, std::span<const Id> ids, std::vector<Object>& out) {
  ObjectStore::Reader reader(s.stored_items);
  for (const Id id : ids) out.push_back(Object::borrow(reader.at(id).object));
}

/// `a` and `b` (each ascending) merged, ascending.
std::vector<Id> merged(const std::vector<Id>& a, const std::vector<Id>& b) {
  std::vector<Id> out(a.size() + b.size());
  std::merge(a.begin(), a.end(), b.begin(), b.end(), out.begin());
  return out;
}

Object list_of(std::vector<Object>& objects) {
  Object list = require(PyList_New(static_cast<Py_ssize_t>(objects.size())));
  for (std::size_t i = 0; i < objects.size(); ++i)
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), objects[i].release());
  return list;
}

/// Sorts `order` stably by `less`, a comparison that runs host code and so may answer anything
/// (a __lt__ that is no order at all). A library sort may then step outside the range; this
/// merge sort compares only elements inside it, always ends, and keeps every element once. For a
/// true order it gives what any stable sort gives.
template <class Less>
void stable_sort_by_host_order(std::vector<std::size_t>& order, Less&& less) {
  const std::size_t n = order.size();
  std::vector<std::size_t> merged(n);
  for (std::size_t width = 1; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, n);
      const std::size_t hi = std::min(lo + 2 * width, n);
      std::size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) merged[k++] = less(order[j], order[i]) ? order[j++] : order[i++];
      while (i < mid) merged[k++] = order[i++];
      while (j < hi) merged[k++] = order[j++];
    }
    order.swap(merged);
  }
}

}  // namespace

const Signature& sorted_by_signature(std::string_view owner) {
  static const Signature index{.function = "sorted_by", .owner = "Index", .positional = kAttrParams, .required = 1,
                               .keyword_only = kSortKeywords, .keyword_only_optional = true};
  static const Signature view{.function = "sorted_by", .owner = "FilteredIndex", .positional = kAttrParams,
                              .required = 1, .keyword_only = kSortKeywords, .keyword_only_optional = true};
  return owner == "Index" ? index : view;
}

const Signature& value_counts_signature(std::string_view owner) {
  static const Signature index{.function = "value_counts", .owner = "Index", .positional = kAttrParams, .required = 1};
  static const Signature view{.function = "value_counts", .owner = "FilteredIndex", .positional = kAttrParams,
                              .required = 1};
  return owner == "Index" ? index : view;
}

Object sorted_by(const SharedState& state, const FilteredIndex* view, const BoundArgs& bound) {
  const AttrName attr = convert_arg("attr", [&] {
    if (!PyUnicode_Check(bound[0].ptr())) raise_cannot_convert(bound[0], "PyString");
    return AttrName(utf8_view(bound[0]));
  });
  bool reverse = false;
  if (bound[1]) reverse = require_status(PyObject_IsTrue(bound[1].ptr())) != 0;
  std::size_t limit = SIZE_MAX;
  if (bound[2] && bound[2].ptr() != Py_None) {
    const Py_ssize_t n = convert_arg("limit", [&] {
      const Py_ssize_t v = PyNumber_AsSsize_t(bound[2].ptr(), PyExc_OverflowError);
      if (v == -1 && PyErr_Occurred()) throw_host_error();
      return v;
    });
    if (n < 0) raise(PyExc_ValueError, "limit must not be negative");
    limit = static_cast<std::size_t>(n);
  }

  // Everything is read under the lock and taken as references; the host code that ordering
  // other kinds runs (comparisons) runs after it.
  std::vector<Object> objects;                          // in order, when every value is a number
  std::vector<std::vector<Object>> groups;              // otherwise: one list per value
  std::vector<Object> representatives;                  // the value of each group
  std::vector<std::size_t> number_rank;                 // each group's place among the numbers
  std::vector<Object> tail;                             // NaN and missing, in id order
  const char* refused = nullptr;
  {
    auto s = state->read();
    const Admitted admitted(*s, view);
    const QueryMap* map = find_map(s->query_maps, attr);
    if (!map) {
      std::vector<Id> all = admitted.all(*s).to_vector();
      if (all.size() > limit) all.resize(limit);
      take_objects(*s, all, objects);
    } else if (map->others == 0) {
      NumberOrder order = order_by_number(*map, admitted.ids, reverse, limit);
      take_objects(*s, order.ids, objects);
      if (objects.size() < limit) {
        std::vector<Id> rest = merged(order.nan, Bitmap::andnot(admitted.all(*s), map->holders).to_vector());
        if (rest.size() > limit - objects.size()) rest.resize(limit - objects.size());
        take_objects(*s, rest, tail);
      }
    } else {
      ValueGroups by_value = group_by_value(*map, admitted.ids);
      number_rank = by_value.number_rank;
      for (const std::vector<Id>& ids : by_value.groups) {
        take_objects(*s, ids, groups.emplace_back());
        PyObject* value = value_of(groups.back().front().ptr(), attr.view(), refused);
        if (!value) break;
        representatives.push_back(Object::borrow(value));
      }
      std::vector<Id> rest = merged(by_value.nan, Bitmap::andnot(admitted.all(*s), map->holders).to_vector());
      take_objects(*s, rest, tail);
    }
  }
  if (refused) raise(PyExc_RuntimeError, refused);
  if (!groups.empty()) {
    // Values that are not all numbers are ordered as Python orders them: a pair it cannot order
    // raises its TypeError. Numbers keep the tree's order among themselves. Stable, so equal
    // values keep their first ids' order either way.
    std::vector<std::size_t> order(groups.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto less = [&](std::size_t a, std::size_t b) {
      if (number_rank[a] != ValueGroups::kNotANumber && number_rank[b] != ValueGroups::kNotANumber)
        return number_rank[a] < number_rank[b];
      const int r = PyObject_RichCompareBool(representatives[a].ptr(), representatives[b].ptr(), Py_LT);
      if (r < 0) throw_host_error();
      return r == 1;
    };
    stable_sort_by_host_order(order, [&](std::size_t a, std::size_t b) { return reverse ? less(b, a) : less(a, b); });
    for (const std::size_t g : order)
      for (Object& obj : groups[g]) {
        if (objects.size() == limit) break;
        objects.push_back(std::move(obj));
      }
  }
  for (Object& obj : tail) {
    if (objects.size() == limit) break;
    objects.push_back(std::move(obj));
  }
  return list_of(objects);
}

Object value_counts(const SharedState& state, const FilteredIndex* view, const BoundArgs& bound) {
  const AttrName attr = convert_arg("attr", [&] {
    if (!PyUnicode_Check(bound[0].ptr())) raise_cannot_convert(bound[0], "PyString");
    return AttrName(utf8_view(bound[0]));
  });
  std::vector<std::pair<Object, std::uint64_t>> counts;
  const char* refused = nullptr;
  {
    auto s = state->read();
    const Admitted admitted(*s, view);
    if (const QueryMap* map = find_map(s->query_maps, attr)) {
      ObjectStore::Reader reader(s->stored_items);
      for (const ValueCount& c : count_values(*map, admitted.ids)) {
        PyObject* value = value_of(reader.at(c.first).object, attr.view(), refused);
        if (!value) break;
        counts.emplace_back(Object::borrow(value), c.count);
      }
    }
  }
  if (refused) raise(PyExc_RuntimeError, refused);
  Object dict = require(PyDict_New());
  for (auto& [value, count] : counts) {
    Object n = require(PyLong_FromUnsignedLongLong(count));
    require_status(PyDict_SetItem(dict.ptr(), value.ptr(), n.ptr()));
  }
  return dict;
}

}  // namespace vostrel::py
