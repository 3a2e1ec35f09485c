// The host class PyQueryExpr: immutable query expression trees built by static constructors.
#include "module/py_query_expr.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "module/records.hpp"

namespace vostrel::py {
namespace {

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
  std::vector<Object> items = extract_items("values", obj, [](Handle) {});
  return convert_arg("values", [&] {
    std::vector<PyValue> values;
    values.reserve(items.size());
    for (const Object& item : items) values.push_back(PyValue::make(item.ptr()));
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

Object wrap(QueryExpr expr) { return new_query_expr(std::move(expr)); }

// --- the static constructors ---

constexpr std::string_view kAttrValue[] = {"attr", "value"};
constexpr std::string_view kAttrBounds[] = {"attr", "lower", "upper"};
constexpr std::string_view kAttrValues[] = {"attr", "values"};
constexpr std::string_view kAttr[] = {"attr"};
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
constexpr Signature kHas{.function = "has", .owner = kOwner, .positional = kAttr, .required = 1};

/// eq, ne, gt, ge, le, lt: (attr, value).
template <class Alt, const Signature& kSig>
PyObject* comparison(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kSig, args, nargsf, kwnames);
    AttrName attr = convert_attr(bound[0]);
    PyValue value = convert_value("value", bound[1]);
    return wrap(Alt{std::move(attr), std::move(value)});
  });
}

PyObject* between(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kBt, args, nargsf, kwnames);
    AttrName attr = convert_attr(bound[0]);
    PyValue lower = convert_value("lower", bound[1]);
    PyValue upper = convert_value("upper", bound[2]);
    return wrap(QueryExpr::Bt{std::move(attr), std::move(lower), std::move(upper)});
  });
}

PyObject* member_of(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kIn, args, nargsf, kwnames);
    AttrName attr = convert_attr(bound[0]);
    std::vector<PyValue> values = convert_values(bound[1]);
    return wrap(QueryExpr::In{std::move(attr), std::move(values)});
  });
}

PyObject* has_attribute(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kHas, args, nargsf, kwnames);
    return wrap(QueryExpr::Has{convert_attr(bound[0])});
  });
}

/// and_, or_: copies of every positional argument, in order.
template <class Alt, const Signature& kSig>
PyObject* combination(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kSig, args, nargsf, kwnames);
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
    const BoundArgs bound = bind(kNot, args, nargsf, kwnames);
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

int query_expr_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  int result = 0;
  QueryExprInstance::cast(self)->record.expr.for_each_value([&](const PyValue& v) {
    if (result == 0 && v.obj()) result = visit(v.obj(), arg);
  });
  return result;
}

int query_expr_clear(PyObject* self) noexcept {
  return call_status([&] {
    QueryExprInstance* inst = QueryExprInstance::cast(self);
    QueryExpr emptied = std::move(inst->record.expr);
    inst->record.expr = QueryExpr::And{};
  });
}

PyMethodDef* methods() {
  static PyMethodDef* table = method_table({
      static_method<&comparison<QueryExpr::Eq, kEq>>("eq", "(attr, value)",
                                                     "Objects whose attribute `attr` equals `value` (by hash())."),
      static_method<&comparison<QueryExpr::Ne, kNe>>(
          "ne", "(attr, value)", "Candidates whose attribute `attr` does not equal `value` (or that lack it)."),
      static_method<&comparison<QueryExpr::Gt, kGt>>("gt", "(attr, value)",
                                                     "Objects whose number `attr` is greater than `value`."),
      static_method<&comparison<QueryExpr::Ge, kGe>>("ge", "(attr, value)",
                                                     "Objects whose number `attr` is at least `value`."),
      static_method<&comparison<QueryExpr::Le, kLe>>("le", "(attr, value)",
                                                     "Objects whose number `attr` is at most `value`."),
      static_method<&comparison<QueryExpr::Lt, kLt>>("lt", "(attr, value)",
                                                     "Objects whose number `attr` is less than `value`."),
      static_method<&between>("bt", "(attr, lower, upper)",
                              "Objects whose number `attr` lies between `lower` and `upper`, both included."),
      static_method<&member_of>("in_", "(attr, values)",
                                "Objects whose attribute `attr` equals one of the iterable `values` (not a str)."),
      static_method<&combination<QueryExpr::And, kAnd>>("and_", "(*exprs)",
                                                        "Objects matched by every expression; and_() matches all."),
      static_method<&combination<QueryExpr::Or, kOr>>("or_", "(*exprs)",
                                                      "Objects matched by at least one expression; or_() matches none."),
      static_method<&negation>("not_", "(exprs)", "Candidates not matched by the expression."),
      static_method<&has_attribute>("has", "(attr)", "Objects that have the attribute `attr`, whatever its value."),
      method<&query_expr_reduce>("__reduce__", "($self)", "Pickling and copying: the tree as a flat list of steps."),
  });
  return table;
}

}  // namespace

HeldQueryExpr::HeldQueryExpr(std::string_view param, Handle obj)
    : obj_([&] {
        if (!is_instance(obj, query_expr_type())) raise_argument_cannot_convert(param, obj, "PyQueryExpr");
        return Object::borrow(obj.ptr());
      }()),
      borrow_(QueryExprInstance::cast(obj)->borrow) {}

PyTypeObject* query_expr_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(class_doc("PyQueryExpr", "",
                                                "A query expression tree, built only by its static methods and "
                                                "evaluated by Index.reduced_query."))},
        {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<QueryExprRecord>)},
        {Py_tp_traverse, reinterpret_cast<void*>(&query_expr_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&query_expr_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(&query_expr_repr)},
        {Py_tp_methods, methods()},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        .name = "builtins.PyQueryExpr",
        .basicsize = sizeof(QueryExprInstance),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
        .slots = slots,
    };
    return create_type(type_spec);
  }();
  return type;
}

Object new_query_expr(QueryExpr expr) { return new_instance(query_expr_type(), QueryExprRecord{std::move(expr)}); }

QueryExpr copy_query_expr(Handle obj) {
  if (!is_instance(obj, query_expr_type())) raise_cannot_convert(obj, "PyQueryExpr");
  QueryExprInstance* inst = QueryExprInstance::cast(obj);
  SharedBorrow borrowed(inst->borrow);
  return inst->record.expr.clone();
}

}  // namespace vostrel::py
