// The host class PyQueryExpr: immutable query expression trees built by static constructors.
#include "module/py_query_expr.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "module/classes.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {
namespace {

/// An instance's record; `expr` is set by the constructing method and never changed.
struct QueryExprRecord {
  QueryExpr expr;
};
using QueryExprInstance = Instance<QueryExprRecord>;

/// A length hint is trusted only this far when reserving room for the values of `in_`: beyond
/// it the array grows as items arrive, so a lying `__len__` cannot demand one huge allocation.
constexpr Py_ssize_t kMaxReservedValues = Py_ssize_t{1} << 16;

// --- argument conversions, each naming its argument in a TypeError ---

AttrName convert_attr(Handle obj) {
  return convert_arg("attr", [&] {
    if (!PyUnicode_Check(obj.ptr())) raise_cannot_convert(obj, "PyString");
    return AttrName(utf8_view(obj));  // lone surrogates: the host's UnicodeEncodeError, unchanged
  });
}

PyValue convert_value(std::string_view name, Handle obj) {
  return convert_arg(name, [&] { return PyValue::make(obj.ptr()); });
}

std::vector<PyValue> convert_values(Handle obj) {
  return convert_arg("values", [&] {
    PyObject* seq = obj.ptr();
    if (PyUnicode_Check(seq)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(seq)) raise_cannot_convert(obj, "Sequence");
    const Py_ssize_t hint = PyObject_LengthHint(seq, 0);
    if (hint < 0) throw_host_error();
    std::vector<PyValue> values;
    values.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedValues)));
    // Iterating (rather than indexing up to a length read once) stays correct when converting
    // an item runs host code that changes the sequence.
    Object iter = require(PyObject_GetIter(seq));
    while (PyObject* next = PyIter_Next(iter.ptr())) {
      Object item = Object::steal(next);
      values.push_back(PyValue::make(item.ptr()));
    }
    if (PyErr_Occurred()) throw_host_error();
    return values;
  });
}

QueryExpr convert_expr(Handle obj) {
  return convert_arg("exprs", [&] { return copy_query_expr(obj); });
}

/// RecursionError unless a node above sub-expressions of depth `sub_depth` fits kMaxQueryDepth.
void check_depth(const Signature& sig, std::size_t sub_depth) {
  if (sub_depth < kMaxQueryDepth) return;
  raise(PyExc_RecursionError, sig.display() + ": maximum query expression depth exceeded (at most " +
                                  std::to_string(kMaxQueryDepth) + " levels)");
}

Object wrap(QueryExpr expr) { return new_instance(query_expr_type(), QueryExprRecord{std::move(expr)}); }

// --- the static constructors ---

constexpr std::string_view kAttrValue[] = {"attr", "value"};
constexpr std::string_view kAttrBounds[] = {"attr", "lower", "upper"};
constexpr std::string_view kAttrValues[] = {"attr", "values"};
constexpr std::string_view kOneExpr[] = {"exprs"};

constexpr std::string_view kOwner = "PyQueryExpr";
constexpr Signature kEq{.function = "eq", .owner = kOwner, .positional = kAttrValue, .required = 2};
constexpr Signature kNe{.function = "ne", .owner = kOwner, .positional = kAttrValue, .required = 2};
constexpr Signature kGt{.function = "gt", .owner = kOwner, .positional = kAttrValue, .required = 2};
constexpr Signature kGe{.function = "ge", .owner = kOwner, .positional = kAttrValue, .required = 2};
constexpr Signature kLe{.function = "le", .owner = kOwner, .positional = kAttrValue, .required = 2};
constexpr Signature kLt{.function = "lt", .owner = kOwner, .positional = kAttrValue, .required = 2};
constexpr Signature kBt{.function = "bt", .owner = kOwner, .positional = kAttrBounds, .required = 3};
constexpr Signature kIn{.function = "in_", .owner = kOwner, .positional = kAttrValues, .required = 2};
constexpr Signature kAnd{.function = "and_", .owner = kOwner, .varargs = true};
constexpr Signature kOr{.function = "or_", .owner = kOwner, .varargs = true};
constexpr Signature kNot{.function = "not_", .owner = kOwner, .positional = kOneExpr, .required = 1};

/// eq, ne, gt, ge, le, lt: (attr, value).
template <class Alt, const Signature& kSig>
PyObject* comparison(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind_fast(kSig, args, nargsf, kwnames);
    AttrName attr = convert_attr(bound[0]);
    PyValue value = convert_value("value", bound[1]);
    return wrap(Alt{std::move(attr), std::move(value)});
  });
}

PyObject* between(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind_fast(kBt, args, nargsf, kwnames);
    AttrName attr = convert_attr(bound[0]);
    PyValue lower = convert_value("lower", bound[1]);
    PyValue upper = convert_value("upper", bound[2]);
    return wrap(QueryExpr::Bt{std::move(attr), std::move(lower), std::move(upper)});
  });
}

PyObject* member_of(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind_fast(kIn, args, nargsf, kwnames);
    AttrName attr = convert_attr(bound[0]);
    std::vector<PyValue> values = convert_values(bound[1]);
    return wrap(QueryExpr::In{std::move(attr), std::move(values)});
  });
}

/// and_, or_: copies of every positional argument, in order.
template <class Alt, const Signature& kSig>
PyObject* combination(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind_fast(kSig, args, nargsf, kwnames);
    std::vector<QueryExpr> exprs;
    exprs.reserve(bound.varargs.size());
    std::size_t deepest = 0;
    for (PyObject* arg : bound.varargs) {
      exprs.push_back(convert_expr(Handle(arg)));
      deepest = std::max(deepest, exprs.back().depth());
    }
    check_depth(kSig, deepest);
    return wrap(Alt{std::move(exprs)});
  });
}

PyObject* negation(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind_fast(kNot, args, nargsf, kwnames);
    QueryExpr sub = convert_expr(bound[0]);
    check_depth(kNot, sub.depth());
    return wrap(QueryExpr::negation(std::move(sub)));
  });
}

PyObject* query_expr_repr(PyObject* self) noexcept {
  return call_object([&] {
    QueryExprInstance* inst = QueryExprInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    return new_str("<QueryExpr: " + inst->record.expr.debug() + ">");
  });
}

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

PyCFunction as_method(FastMethod f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kStaticFast = METH_STATIC | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"eq", as_method(&comparison<QueryExpr::Eq, kEq>), kStaticFast, "eq(attr, value)\n--\n\n"},
    {"ne", as_method(&comparison<QueryExpr::Ne, kNe>), kStaticFast, "ne(attr, value)\n--\n\n"},
    {"gt", as_method(&comparison<QueryExpr::Gt, kGt>), kStaticFast, "gt(attr, value)\n--\n\n"},
    {"ge", as_method(&comparison<QueryExpr::Ge, kGe>), kStaticFast, "ge(attr, value)\n--\n\n"},
    {"le", as_method(&comparison<QueryExpr::Le, kLe>), kStaticFast, "le(attr, value)\n--\n\n"},
    {"lt", as_method(&comparison<QueryExpr::Lt, kLt>), kStaticFast, "lt(attr, value)\n--\n\n"},
    {"bt", as_method(&between), kStaticFast, "bt(attr, lower, upper)\n--\n\n"},
    {"in_", as_method(&member_of), kStaticFast, "in_(attr, values)\n--\n\n"},
    {"and_", as_method(&combination<QueryExpr::And, kAnd>), kStaticFast, "and_(*exprs)\n--\n\n"},
    {"or_", as_method(&combination<QueryExpr::Or, kOr>), kStaticFast, "or_(*exprs)\n--\n\n"},
    {"not_", as_method(&negation), kStaticFast, "not_(exprs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<QueryExprRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(&query_expr_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.PyQueryExpr",
    .basicsize = sizeof(QueryExprInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* query_expr_type() {
  static PyTypeObject* type = create_type(kSpec);
  return type;
}

QueryExpr copy_query_expr(Handle obj) {
  if (!is_instance(obj, query_expr_type())) raise_cannot_convert(obj, "PyQueryExpr");
  QueryExprInstance* inst = QueryExprInstance::cast(obj);
  SharedBorrow borrowed(inst->borrow);
  return inst->record.expr.clone();
}

}  // namespace vostrel::py
