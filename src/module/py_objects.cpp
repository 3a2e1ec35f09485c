// What the index classes share: lists of stored objects, borrowing many objects at once, and the
// iterator over an index or a view.
#include <optional>

#include "module/records.hpp"

namespace vostrel::py {

IndexableInstance* stored_indexable(HostObject* obj) {
  if (!obj || !is_instance(Handle(obj), indexable_type())) fatal_failed_conversion();
  return IndexableInstance::cast(obj);
}

// ---------------------------------------------------------------------------------------------
// Object lists

namespace {

/// How many objects ahead of the one being referenced are asked into the cache: far enough to
/// cover a memory access, near enough that the lines are still there when their turn comes.
constexpr std::size_t kPrefetchDistance = 16;

/// Fills `out` with new references to the objects of `ids` (in order), taking each from the store
/// and keeping those `keep(slot)` accepts; returns how many were written (at most `room`).
template <class Keep>
std::size_t fill(const IndexState& s, const Bitmap& ids, PyObject** out, std::size_t room, Keep&& keep) {
  std::size_t filled = 0;
  ObjectStore::Reader reader(s.stored_items);
  ids.for_each_batch([&](std::span<const Id> batch) {
    // Neither the slots of scattered ids nor their objects lie near each other: the batch's slots
    // are found first, then each is fetched ahead of being read, and each object ahead of its
    // reference count being raised.
    const StoredItem* slots[Bitmap::kBatchIds];
    for (std::size_t i = 0; i < batch.size(); ++i) slots[i] = &reader.at(batch[i]);
    for (std::size_t i = 0; i < batch.size() && i < kPrefetchDistance; ++i) __builtin_prefetch(slots[i]);
    PyObject* objects[Bitmap::kBatchIds];
    std::size_t n = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (i + kPrefetchDistance < batch.size()) __builtin_prefetch(slots[i + kPrefetchDistance]);
      if (keep(*slots[i])) objects[n++] = slots[i]->object;
    }
    if (filled + n > room) fatal_out_of_range();
    for (std::size_t i = 0; i < n && i < kPrefetchDistance; ++i) __builtin_prefetch(objects[i], 1);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kPrefetchDistance < n) __builtin_prefetch(objects[i + kPrefetchDistance], 1);
      Py_INCREF(objects[i]);
      out[filled + i] = objects[i];
    }
    filled += n;
  });
  return filled;
}

}  // namespace

Object object_list(const SharedState& state, const FilteredIndex* view) {
  // Counted, then made with no lock held, then filled under the read lock. An index's objects
  // cannot change meanwhile (its caller holds it borrowed); a view's may leave (never arrive), so
  // its list is cut to what was filled.
  std::uint64_t count;
  {
    auto s = state->read();
    count = view ? view->ids.cardinality() : s->ids.cardinality();
  }
  if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  Object list = require(PyList_New(static_cast<Py_ssize_t>(count)));
  if (count == 0) return list;
  PyObject** items = &PyList_GET_ITEM(list.ptr(), 0);
  std::size_t filled;
  {
    auto s = state->read();
    if (view) {
      filled = fill(*s, view->ids, items, count, [view](const StoredItem& slot) { return admits(*view, slot); });
    } else {
      filled = fill(*s, s->ids, items, count, [](const StoredItem& slot) {
        if (!slot) fatal_missing_value();
        return true;
      });
      if (filled != count) fatal_out_of_range();
    }
  }
  if (filled < count) require_status(PyList_SetSlice(list.ptr(), static_cast<Py_ssize_t>(filled),
                                                     static_cast<Py_ssize_t>(count), nullptr));
  return list;
}

// ---------------------------------------------------------------------------------------------
// Borrowing many objects

BorrowedObjects::BorrowedObjects(std::vector<Object> objects, bool exclusive)
    : objects_(std::move(objects)), exclusive_(exclusive) {
  for (; borrowed_ < objects_.size(); ++borrowed_) {
    BorrowFlag& flag = IndexableInstance::cast(objects_[borrowed_].handle())->borrow;
    if (const char* error = flag.conflict(exclusive_)) {
      release();
      raise(PyExc_RuntimeError, error);
    }
    if (exclusive_) flag.state = BorrowFlag::kExclusive;
    else ++flag.state;
  }
}

void BorrowedObjects::release() noexcept {
  for (std::size_t i = 0; i < borrowed_; ++i) {
    BorrowFlag& flag = IndexableInstance::cast(objects_[i].handle())->borrow;
    if (exclusive_) flag.state = 0;
    else --flag.state;
  }
  borrowed_ = 0;
}

BorrowedObjects::~BorrowedObjects() { release(); }

std::vector<Indexable*> BorrowedObjects::records() const {
  std::vector<Indexable*> out;
  out.reserve(objects_.size());
  for (std::size_t i = 0; i < objects_.size(); ++i) out.push_back(&record(i));
  return out;
}

std::vector<Arrival> BorrowedObjects::arrivals() const {
  std::vector<Arrival> out;
  out.reserve(objects_.size());
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    Py_INCREF(objects_[i].ptr());
    out.push_back(Arrival{&record(i), OwnedHostRef::adopt(objects_[i].ptr())});
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Iteration

namespace {

/// An iterator's record: the index (and view) it walks and the last id it gave. Each step takes
/// the next object above that id, so objects that arrive or leave meanwhile are met or not as
/// their ids fall, no object comes twice, and nothing breaks.
struct IteratorRecord {
  SharedState state;
  std::optional<FilteredIndex> view;
  Object owner;  // the Index or view walked
  Id last = 0;
  bool done = false;
};
using IteratorInstance = Instance<IteratorRecord>;

PyObject* iterator_next(PyObject* self) noexcept {
  return call_object([&]() -> Object {
    IteratorInstance* inst = IteratorInstance::cast(self);
    IteratorRecord& it = inst->record;
    if (it.done) return {};
    Object found;
    {
      auto s = it.state->read();
      const Bitmap& ids = it.view ? it.view->ids : s->ids;
      std::vector<Id> next;
      for (Id from = it.last + 1; !found;) {
        if (from == 0) break;  // wrapped past the last id
        next.clear();
        ids.append_range(from, UINT32_MAX, next, 64);
        if (next.empty()) break;
        for (const Id id : next) {
          const StoredItem& slot = s->stored_items.at(id);
          if (it.view ? admits(*it.view, slot) : static_cast<bool>(slot)) {
            found = Object::borrow(slot.object);
            it.last = id;
            break;
          }
        }
        if (!found) from = next.back() + 1;
      }
    }
    if (!found) {
      it.done = true;
      it.state.reset();
      it.view.reset();
      it.owner = Object();
    }
    return found;
  });
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(IteratorInstance::cast(self)->record.owner.ptr());
  return 0;
}

int iterator_clear(PyObject* self) noexcept {
  return call_status([&] { IteratorInstance::cast(self)->record.owner = Object(); });
}

}  // namespace

PyTypeObject* iterator_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<IteratorRecord>)},
        {Py_tp_traverse, reinterpret_cast<void*>(&iterator_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&iterator_clear)},
        {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(&iterator_next)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        .name = "builtins.IndexIterator",
        .basicsize = sizeof(IteratorInstance),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
        .slots = slots,
    };
    return create_type_on_first_use(type_spec);
  }();
  return type;
}

Object new_iterator(const SharedState& state, const FilteredIndex* view, Object owner) {
  IteratorRecord record{state, std::nullopt, std::move(owner)};
  if (view) record.view.emplace(FilteredIndex{view->state, view->ids.clone(), view->epoch});
  return new_instance(iterator_type(), std::move(record));
}

}  // namespace vostrel::py

namespace vostrel::py {

PyObject* generic_alias(PyObject* cls, PyObject* item) noexcept {
  return call_object([&] { return require(Py_GenericAlias(cls, item)); });
}

}  // namespace vostrel::py
