// The host class Indexable, the base of indexed host classes: its own attribute storage, whose
// assignments keep every index that holds the object up to date.
#include <optional>

#include "module/records.hpp"

namespace vostrel::py {
namespace {

constexpr Signature kNew{.function = "__new__", .owner = "Indexable", .varargs = true, .varkw = true};

IndexableInstance* self_of(PyObject* self) { return IndexableInstance::cast(self); }

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
  if (!PyUnicode_Check(name.ptr())) raise_argument_cannot_convert("name", name, "PyString");
  return utf8_view(name);
}

/// Builds the attributes from a keyword dict. Every key and value is held while host code runs
/// (a value's __hash__ may empty the dict).
AttributeMap attributes_of(PyObject* kwargs) {
  AttributeMap attributes;
  if (!kwargs) return attributes;
  if (!PyDict_Check(kwargs)) raise_argument_cannot_convert("kwargs", Handle(kwargs), "PyDict");
  attributes.reserve(static_cast<std::size_t>(PyDict_Size(kwargs)));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    const Object held_key = Object::borrow(key);
    const Object held_value = Object::borrow(value);
    AttrName name = key_name(held_key.handle());
    PyValue converted = PyValue::make(held_value.ptr());
    attributes.insert_or_assign(std::move(name), std::move(converted));
  }
  return attributes;
}

PyObject* indexable_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    bind(kNew, args, kwargs);  // positional arguments are accepted and ignored
    Indexable record;
    record.attributes = attributes_of(kwargs);
    std::optional<ObjectId> id = ObjectId::take();
    if (!id) raise(PyExc_OverflowError, "cannot create Indexable: every object id is in use");
    record.id = std::move(*id);
    return new_instance(type, std::move(record));
  });
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) noexcept {
  return call_object([&]() -> Object {
    if (!PyUnicode_Check(name)) raise_argument_cannot_convert("name", Handle(name), "PyString");
    IndexableInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (!text) {
      PyErr_SetObject(PyExc_AttributeError, name);
      throw_host_error();
    }
    // An attribute read takes no index lock: the object's borrow keeps assignments out.
    if (const PyValue* v = inst->record.find(std::string_view(text, static_cast<std::size_t>(size))))
      return Object::borrow(v->obj());
    if (PyObject* found = PyObject_GenericGetAttr(self, name)) return Object::steal(found);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetObject(PyExc_AttributeError, name);
    }
    throw_host_error();
  });
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  return call_status([&] {
    if (!value) raise(PyExc_AttributeError, "can't delete attribute");
    // Declared before the borrow, so that the replaced value goes after it: a finaliser that the
    // release runs finds the object free again.
    PyValue replaced;
    IndexableInstance* inst = self_of(self);
    ExclusiveBorrow borrowed(inst->borrow);
    const std::string_view text = attribute_name(Handle(name));
    Indexable& record = inst->record;
    auto it = record.attributes.find(NameKey{name_hash(text), text});
    const bool known = it != record.attributes.end();
    // Everything that may fail comes before the indexes change.
    const AttrName attr = known ? it->first : AttrName(text);
    PyValue assigned = PyValue::make(value);
    if (!known) {
      record.attributes.reserve(record.attributes.size() + 1);
      it = record.attributes.end();
    }
    // A first value is indexed too, so a new attribute is searchable at once.
    if (!record.index_meta.empty() && is_indexable_name(text)) {
      const PyValue* old = known ? &it->second : nullptr;
      without_gil([&] { update_indexes(record, attr, old, assigned); });
    }
    if (known)
      replaced = std::exchange(it->second, std::move(assigned));
    else
      record.attributes.emplace(attr, std::move(assigned));
  });
}

PyObject* indexable_repr(PyObject* self) noexcept {
  return call_object([&] {
    IndexableInstance* inst = self_of(self);
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

int indexable_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  for (const auto& [name, value] : self_of(self)->record.attributes) Py_VISIT(value.obj());
  return 0;
}

int indexable_clear(PyObject* self) noexcept {
  return call_status([&] {
    // Only an object that no live index holds is cleared (a store's reference would keep it
    // reachable), so its attributes can go without any index noticing.
    AttributeMap gone = std::move(self_of(self)->record.attributes);
    self_of(self)->record.attributes.clear();
  });
}

PyMethodDef* methods() {
  static PyMethodDef* table = method_table({
      method<&indexable_dir>("__dir__", "($self)", "The object's attribute names, then those of its class."),
      method<&indexable_reduce>("__reduce__", "($self)",
                                "Pickling and copying: the class and the attributes (a copy is in no index)."),
      one_argument_method<&indexable_setstate>("__setstate__", "($self, state, /)",
                                               "Sets the attributes of a dict, as unpickling and copying do."),
  });
  return table;
}

}  // namespace

PyTypeObject* indexable_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(class_doc(
                        "Indexable", "(*_args, **kwargs)",
                        "Base class of indexed records. Keyword arguments become attributes; positional ones are\n"
                        "ignored. Attributes not beginning with '_' are indexed by every Index that holds the\n"
                        "object, and assigning one updates those indexes. Attributes cannot be deleted."))},
        {Py_tp_new, reinterpret_cast<void*>(&indexable_new)},
        {Py_tp_getattro, reinterpret_cast<void*>(&indexable_getattro)},
        {Py_tp_setattro, reinterpret_cast<void*>(&indexable_setattro)},
        {Py_tp_repr, reinterpret_cast<void*>(&indexable_repr)},
        {Py_tp_methods, methods()},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<Indexable>)},
        {Py_tp_traverse, reinterpret_cast<void*>(&indexable_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&indexable_clear)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        .name = "builtins.Indexable",
        .basicsize = sizeof(IndexableInstance),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
        .slots = slots,
    };
    return create_type(type_spec);
  }();
  return type;
}

}  // namespace vostrel::py
