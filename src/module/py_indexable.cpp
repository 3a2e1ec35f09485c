// The host class Indexable, the base of indexed host classes: its own attribute storage, whose
// assignments keep every index that holds the object up to date.
#include <boost/container/small_vector.hpp>
#include <optional>

#include "module/classes.hpp"
#include "module/records.hpp"

namespace vostrel::py {

IndexableInstance* extract_indexable(std::string_view param, Handle obj) {
  if (!is_instance(obj, indexable_type())) convert_arg(param, [&] { raise_cannot_convert(obj, "Indexable"); });
  return IndexableInstance::cast(obj);
}

namespace {

constexpr Signature kNew{.function = "__new__", .owner = "Indexable", .varargs = true, .varkw = true};

/// The attribute name of a keyword or dict key; text that cannot be read gives the empty name.
AttrName key_name(Handle key) {
  try {
    return AttrName(utf8_view(key));
  } catch (HostError&) {
    return AttrName();
  }
}

/// The name of an attribute hook as text, or the argument error for "name".
std::string_view attribute_name(Handle name) {
  if (!PyUnicode_Check(name.ptr())) convert_arg("name", [&] { raise_cannot_convert(name, "PyString"); });
  return utf8_view(name);
}

PyObject* indexable_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    bind_tuple(kNew, args, kwargs);  // positional arguments are accepted and ignored
    Indexable record;
    if (kwargs) {
      if (!PyDict_Check(kwargs)) convert_arg("kwargs", [&] { raise_cannot_convert(Handle(kwargs), "PyDict"); });
      record.attributes.reserve(static_cast<std::size_t>(PyDict_Size(kwargs)));
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        record.attributes.insert_or_assign(key_name(Handle(key)), PyValue::make(value));
      }
    }
    const std::optional<Id> id = take_object_id();
    if (!id) raise(PyExc_OverflowError, "cannot create Indexable: every object id is in use");
    record.id = *id;
    return new_instance(type, std::move(record));
  });
}

/// A new reference to the recorded value of `name`, or null when the object has no such
/// attribute. The read locks of every index that holds the object are taken, each once, in
/// ascending identity, and held only for the lookup: nothing here runs host code.
Object recorded_attribute(const Indexable& record, std::string_view name) {
  const ResolvedTables tables = resolve_distinct(record);
  boost::container::small_vector<RwLock<QueryMapTable>::ReadGuard, kInlineIndexRecords> guards;
  for (const SharedTable& table : tables) guards.push_back(table->read());
  if (auto it = record.attributes.find(AttrName(name)); it != record.attributes.end())
    return Object::borrow(it->second.obj().get());
  return {};
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) noexcept {
  return call_object([&]() -> Object {
    IndexableInstance* inst = IndexableInstance::cast(self);
    if (!PyUnicode_Check(name)) convert_arg("name", [&] { raise_cannot_convert(Handle(name), "PyString"); });
    SharedBorrow borrowed(inst->borrow);
    std::string_view text;
    try {
      text = utf8_view(Handle(name));
    } catch (HostError&) {
      PyErr_SetObject(PyExc_AttributeError, name);
      throw_host_error();
    }
    if (Object found = recorded_attribute(inst->record, text)) return found;
    // The generic lookup runs host code (properties, descriptors, finalisers), which may add to
    // or assign in the indexes that hold this object: no index lock is held from here on.
    if (PyObject* found = PyObject_GenericGetAttr(self, name)) return Object::steal(found);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetObject(PyExc_AttributeError, name);
    }
    throw_host_error();
  });
}

/// Moves the object's id to `value` under `name` in every index it has a record of, once per
/// index: an object added twice holds two records of one index, and moving the id a second time
/// is not harmless when the two values share a hash (the second move finds the new value's set
/// under the old value's hash, takes the id out of it and puts a second key into the range tree).
/// A poisoned table fails the assignment before any index changes: updating the healthy indexes
/// first would leave them holding a value that the object, which keeps its old one, does not have.
void update_indexes(const Indexable& record, const AttrName& name, const PyValue* old, const PyValue& value) {
  const ResolvedTables tables = resolve_distinct(record);
  for (const SharedTable& table : tables)
    if (table->is_poisoned()) fatal(kPoisonedLock);
  for (const SharedTable& table : tables) update_index(table->write(), name, old, value, record.id);
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  return call_status([&] {
    if (!value) raise(PyExc_AttributeError, "can't delete attribute");
    IndexableInstance* inst = IndexableInstance::cast(self);
    ExclusiveBorrow borrowed(inst->borrow);
    AttrName attr(attribute_name(Handle(name)));
    PyValue assigned = PyValue::make(value);

    Indexable& record = inst->record;
    auto it = record.attributes.find(attr);
    const PyValue* old = it == record.attributes.end() ? nullptr : &it->second;
    // A first value is indexed too, so a new attribute is searchable at once.
    if (!record.index_meta.empty() && is_indexable_name(attr.view()))
      without_gil([&] { update_indexes(record, attr, old, assigned); });
    record.attributes.insert_or_assign(std::move(attr), std::move(assigned));
  });
}

PyObject* indexable_repr(PyObject* self) noexcept {
  return call_object([&] {
    IndexableInstance* inst = IndexableInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    return new_str("<MyClass with " + std::to_string(inst->record.attributes.size()) + " attributes>");
  });
}

PyObject* indexable_dir(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    IndexableInstance* inst = extract_indexable("self", Handle(self));
    Object names = require(PyList_New(0));
    {
      SharedBorrow borrowed(inst->borrow);
      for (const auto& [name, value] : inst->record.attributes)
        require_status(PyList_Append(names.ptr(), new_str(name.view()).ptr()));
    }
    Object builtins = require(PyImport_ImportModule("builtins"));
    Object object_type = require(PyObject_GetAttrString(builtins.ptr(), "object"));
    Object base = require(PyObject_CallMethod(object_type.ptr(), "__dir__", "O", self));
    if (!PyList_Check(base.ptr())) raise_cannot_convert(base.handle(), "PyList");
    Object tail = require(PySequence_List(base.ptr()));
    require_status(PyList_SetSlice(names.ptr(), PyList_GET_SIZE(names.ptr()), PyList_GET_SIZE(names.ptr()),
                                   tail.ptr()));
    return names;
  });
}

PyMethodDef kMethods[] = {
    {"__dir__", reinterpret_cast<PyCFunction>(&indexable_dir), METH_NOARGS, "__dir__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&indexable_new)},
    {Py_tp_getattro, reinterpret_cast<void*>(&indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(&indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(&indexable_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<Indexable>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.Indexable",
    .basicsize = sizeof(IndexableInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* indexable_type() {
  static PyTypeObject* type = create_type(kSpec);
  return type;
}

}  // namespace vostrel::py
