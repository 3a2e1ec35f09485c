// The instance layouts of the index classes and the helpers their methods share.
#pragma once

#include <span>
#include <vector>

#include "index/filtered_index.hpp"
#include "index/index.hpp"
#include "index/indexable.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {

/// A view's host record: the view, and the host Index object it was made from, which owns the
/// references in the store the view reads (so the cycle collector sees one owner of each).
struct ViewRecord {
  FilteredIndex view;
  Object owner;
};

using IndexInstance = Instance<Index>;
using IndexableInstance = Instance<Indexable>;
using FilteredIndexInstance = Instance<ViewRecord>;

/// The class types; HostError when a type cannot be created.
PyTypeObject* index_type();
PyTypeObject* indexable_type();
PyTypeObject* query_expr_type();
/// Result-only classes; a failure to create them is a fatal internal error.
PyTypeObject* filtered_index_type();
PyTypeObject* iterator_type();

/// The Indexable behind argument `param`, or its argument error.
inline IndexableInstance* extract_indexable(std::string_view param, Handle obj) {
  return extract_instance<Indexable>(param, obj, indexable_type(), "Indexable");
}
/// The Index behind argument `param`, or its argument error.
inline IndexInstance* extract_index(std::string_view param, Handle obj) {
  return extract_instance<Index>(param, obj, index_type(), "Index");
}
/// A stored object as the Indexable it must be; the failed-conversion error otherwise.
IndexableInstance* stored_indexable(HostObject* obj);

/// The host object of a view of the index owned by `owner`.
Object new_filtered_index(FilteredIndex view, Object owner);
Object new_index(Index index);

/// An iterator over the objects of an index (`view` null) or of a view, in ascending id order.
/// `owner` is the host object iterated (kept alive by the iterator).
Object new_iterator(const SharedState& state, const FilteredIndex* view, Object owner);

/// The objects of an index (`view` null) or of a view, in ascending id order, as a new list.
/// The list is made before any index lock is taken (making it may run the collector, and so host
/// code that uses the index); it is filled under the read lock, where nothing runs host code.
Object object_list(const SharedState& state, const FilteredIndex* view);

/// Objects borrowed for one operation: every one is borrowed before the operation changes
/// anything, so that a busy object fails the call unchanged, and each borrow ends with the set.
class BorrowedObjects {
 public:
  /// Borrows each of `objects` (Indexables), exclusively or shared; RuntimeError on the first
  /// conflict (an object listed twice meets its own exclusive borrow: "Already borrowed").
  BorrowedObjects(std::vector<Object> objects, bool exclusive);
  BorrowedObjects(const BorrowedObjects&) = delete;
  BorrowedObjects& operator=(const BorrowedObjects&) = delete;
  ~BorrowedObjects();

  [[nodiscard]] std::size_t size() const noexcept { return objects_.size(); }
  [[nodiscard]] const std::vector<Object>& objects() const noexcept { return objects_; }
  [[nodiscard]] Indexable& record(std::size_t i) const { return IndexableInstance::cast(objects_[i].handle())->record; }
  /// The records, in order.
  [[nodiscard]] std::vector<Indexable*> records() const;
  /// Arrivals for an index: each record with a new reference to its object.
  [[nodiscard]] std::vector<Arrival> arrivals() const;

 private:
  void release() noexcept;

  std::vector<Object> objects_;
  std::size_t borrowed_ = 0;
  bool exclusive_;
};

/// `cls[item]` for type annotations (a types.GenericAlias).
PyObject* generic_alias(PyObject* cls, PyObject* item) noexcept;

/// The module's private function that pickling calls to rebuild records, indexes and expressions
/// (borrowed; made with the module by `make_restore_function`).
PyObject* restore_function();
Object make_restore_function(PyObject* module, PyObject* module_name);

/// __reduce__ and __setstate__ of the classes that pickle and copy.
PyObject* indexable_reduce(PyObject* self, PyObject*) noexcept;
PyObject* indexable_setstate(PyObject* self, PyObject* state) noexcept;
PyObject* query_expr_reduce(PyObject* self, PyObject*) noexcept;

/// Drops references with the interpreter lock held (after the operation released its locks).
inline void drop_all(std::vector<OwnedHostRef>& refs) noexcept { refs.clear(); }

}  // namespace vostrel::py
