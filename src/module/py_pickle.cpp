// Pickling and copying: records, indexes and expressions come back through one private module
// function, `_restore(kind, data)`, which pickle finds as Vostrel._restore.
#include <vector>

#include "module/py_query_expr.hpp"
#include "module/records.hpp"

namespace vostrel::py {

namespace {

PyObject* g_restore = nullptr;  // owned; lives for the process

// --- expressions as flat programs ---
//
// A tree travels as a list of steps in postfix order, so that pickling and rebuilding a deep tree
// takes no recursion: ("eq", attr, value) and the other comparisons, ("bt", attr, lower, upper),
// ("in_", attr, [values]), ("has", attr) push a leaf; ("not_",) takes one, ("and_", n) and
// ("or_", n) take n.

Object leaf_step(const QueryExpr& e) {
  return std::visit(
      [&](const auto& alt) -> Object {
        using E = QueryExpr;
        using Alt = std::decay_t<decltype(alt)>;
        const std::string name = [&] {
          std::string n(kind_name(e.kind()));
          for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          return n == "in" ? std::string("in_") : n;
        }();
        Object attr;
        if constexpr (requires { alt.attr; }) attr = new_str(alt.attr.view());
        if constexpr (std::is_same_v<Alt, E::Bt>) {
          return require(Py_BuildValue("(sOOO)", name.c_str(), attr.ptr(), alt.lower.obj(), alt.upper.obj()));
        } else if constexpr (std::is_same_v<Alt, E::In>) {
          Object values = require(PyList_New(static_cast<Py_ssize_t>(alt.values.size())));
          for (std::size_t i = 0; i < alt.values.size(); ++i) {
            Py_INCREF(alt.values[i].obj());
            PyList_SET_ITEM(values.ptr(), static_cast<Py_ssize_t>(i), alt.values[i].obj());
          }
          return require(Py_BuildValue("(sOO)", name.c_str(), attr.ptr(), values.ptr()));
        } else if constexpr (std::is_same_v<Alt, E::Has>) {
          return require(Py_BuildValue("(sO)", name.c_str(), attr.ptr()));
        } else if constexpr (requires { alt.value; }) {
          return require(Py_BuildValue("(sOO)", name.c_str(), attr.ptr(), alt.value.obj()));
        } else {
          fatal_out_of_range();
        }
      },
      e.node());
}

Object program_of(const QueryExpr& root) {
  Object program = require(PyList_New(0));
  std::vector<std::pair<const QueryExpr*, std::size_t>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto& [e, next] = stack.back();
    if (next < e->child_count()) {
      const QueryExpr* sub = &e->child(next++);
      stack.emplace_back(sub, 0);  // `e` and `next` are not used after this
      continue;
    }
    Object step;
    switch (e->kind()) {
      case QueryExpr::Kind::Not: step = require(Py_BuildValue("(s)", "not_")); break;
      case QueryExpr::Kind::And: step = require(Py_BuildValue("(sn)", "and_", static_cast<Py_ssize_t>(e->child_count()))); break;
      case QueryExpr::Kind::Or: step = require(Py_BuildValue("(sn)", "or_", static_cast<Py_ssize_t>(e->child_count()))); break;
      default: step = leaf_step(*e);
    }
    require_status(PyList_Append(program.ptr(), step.ptr()));
    stack.pop_back();
  }
  return program;
}

[[noreturn]] void bad_program() { raise(PyExc_ValueError, "not a pickled query expression"); }

PyValue value_at(PyObject* step, Py_ssize_t i) { return PyValue::make(PyTuple_GET_ITEM(step, i)); }

AttrName attr_at(PyObject* step) {
  PyObject* attr = PyTuple_GET_ITEM(step, 1);
  if (!PyUnicode_Check(attr)) bad_program();
  return AttrName(utf8_view(Handle(attr)));
}

QueryExpr expr_of(Handle program) {
  if (!PyList_Check(program.ptr())) bad_program();
  const Object steps = require(PySequence_List(program.ptr()));  // a copy: steps may run host code
  std::vector<QueryExpr> stack;
  std::vector<std::size_t> depths;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(steps.ptr()); ++k) {
    PyObject* step = PyList_GET_ITEM(steps.ptr(), k);
    if (!PyTuple_Check(step) || PyTuple_GET_SIZE(step) < 1 || !PyUnicode_Check(PyTuple_GET_ITEM(step, 0))) bad_program();
    const std::string_view op = utf8_view(Handle(PyTuple_GET_ITEM(step, 0)));
    const Py_ssize_t n = PyTuple_GET_SIZE(step);
    auto take = [&](std::size_t count) {
      if (count > stack.size()) bad_program();
      std::vector<QueryExpr> subs;
      std::size_t deepest = 0;
      for (std::size_t i = stack.size() - count; i < stack.size(); ++i) {
        subs.push_back(std::move(stack[i]));
        deepest = std::max(deepest, depths[i]);
      }
      stack.erase(stack.end() - static_cast<std::ptrdiff_t>(count), stack.end());
      depths.erase(depths.end() - static_cast<std::ptrdiff_t>(count), depths.end());
      if (deepest + 1 > kMaxQueryDepth) raise(PyExc_RecursionError, "maximum query expression depth exceeded");
      return std::make_pair(std::move(subs), deepest + 1);
    };
    auto push = [&](QueryExpr e, std::size_t depth) {
      stack.push_back(std::move(e));
      depths.push_back(depth);
    };
    if (op == "not_" && n == 1) {
      auto [subs, depth] = take(1);
      push(QueryExpr::negation(std::move(subs.front())), depth);
    } else if ((op == "and_" || op == "or_") && n == 2) {
      const Py_ssize_t count = PyLong_AsSsize_t(PyTuple_GET_ITEM(step, 1));
      if (count < 0) {
        PyErr_Clear();
        bad_program();
      }
      auto [subs, depth] = take(static_cast<std::size_t>(count));
      if (op == "and_") push(QueryExpr::And{std::move(subs)}, std::max<std::size_t>(depth, 1));
      else push(QueryExpr::Or{std::move(subs)}, std::max<std::size_t>(depth, 1));
    } else if (op == "has" && n == 2) {
      push(QueryExpr::Has{attr_at(step)}, 1);
    } else if (op == "bt" && n == 4) {
      AttrName attr = attr_at(step);
      PyValue lower = value_at(step, 2);
      push(QueryExpr::Bt{std::move(attr), std::move(lower), value_at(step, 3)}, 1);
    } else if (op == "in_" && n == 3) {
      AttrName attr = attr_at(step);
      const Object items = require(PySequence_List(PyTuple_GET_ITEM(step, 2)));
      std::vector<PyValue> values;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) values.push_back(PyValue::make(PyList_GET_ITEM(items.ptr(), i)));
      push(QueryExpr::In{std::move(attr), std::move(values)}, 1);
    } else if (n == 3) {
      AttrName attr = attr_at(step);
      PyValue v = value_at(step, 2);
      if (op == "eq") push(QueryExpr::Eq{std::move(attr), std::move(v)}, 1);
      else if (op == "ne") push(QueryExpr::Ne{std::move(attr), std::move(v)}, 1);
      else if (op == "gt") push(QueryExpr::Gt{std::move(attr), std::move(v)}, 1);
      else if (op == "ge") push(QueryExpr::Ge{std::move(attr), std::move(v)}, 1);
      else if (op == "lt") push(QueryExpr::Lt{std::move(attr), std::move(v)}, 1);
      else if (op == "le") push(QueryExpr::Le{std::move(attr), std::move(v)}, 1);
      else bad_program();
    } else {
      bad_program();
    }
  }
  if (stack.size() != 1) bad_program();
  return std::move(stack.front());
}

constexpr std::string_view kRestoreParams[] = {"kind", "data"};
constexpr Signature kRestore{.function = "_restore", .positional = kRestoreParams, .required = 2, .positional_only = 2};

PyObject* restore(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&]() -> Object {
    const BoundArgs bound = bind(kRestore, args, nargs, kwnames);
    const std::string_view kind = PyUnicode_Check(bound[0].ptr()) ? utf8_view(bound[0]) : std::string_view();
    const Handle data = bound[1];
    if (kind == "record") {
      PyObject* cls = data.ptr() == Py_None ? reinterpret_cast<PyObject*>(indexable_type()) : data.ptr();
      if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), indexable_type()))
        raise(PyExc_TypeError, "not an Indexable class");
      return require(PyObject_CallMethod(cls, "__new__", "O", cls));
    }
    if (kind == "index") {
      Object index = require(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(index_type())));
      Object done = require(PyObject_CallMethod(index.ptr(), "add_object_many", "O", data.ptr()));
      return index;
    }
    if (kind == "expr") return new_query_expr(expr_of(data));
    raise(PyExc_ValueError, "unknown kind of pickled Vostrel object");
  });
}

PyMethodDef kRestoreDef = {
    "_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&restore)), METH_FASTCALL | METH_KEYWORDS,
    "_restore(kind, data, /)\n--\n\nRebuilds a pickled or copied Vostrel object (used by pickle and copy)."};

}  // namespace

PyObject* restore_function() {
  if (!g_restore) fatal_missing_value();
  return g_restore;
}

Object make_restore_function(PyObject* module, PyObject* module_name) {
  Object f = require(PyCFunction_NewEx(&kRestoreDef, module, module_name));
  if (!g_restore) g_restore = Object::borrow(f.ptr()).release();
  return f;
}

PyObject* query_expr_reduce(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    QueryExprInstance* inst = QueryExprInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    Object program = program_of(inst->record.expr);
    return require(Py_BuildValue("(O(sO))", restore_function(), "expr", program.ptr()));
  });
}

PyObject* indexable_reduce(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    IndexableInstance* inst = IndexableInstance::cast(self);
    Object state = require(PyDict_New());
    {
      SharedBorrow borrowed(inst->borrow);
      for (const auto& [name, value] : inst->record.attributes)
        require_status(PyDict_SetItem(state.ptr(), new_str(name.view()).ptr(), value.obj()));
    }
    PyObject* cls = Py_TYPE(self) == indexable_type() ? Py_None : reinterpret_cast<PyObject*>(Py_TYPE(self));
    return require(Py_BuildValue("(O(sO)O)", restore_function(), "record", cls, state.ptr()));
  });
}

PyObject* indexable_setstate(PyObject* self, PyObject* state) noexcept {
  return call_object([&] {
    if (!PyDict_Check(state)) raise_argument_cannot_convert("state", Handle(state), "PyDict");
    const Object items = require(PyDict_Items(state));  // a copy: assignments run host code
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
      require_status(PyObject_SetAttr(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)));
    }
    return none();
  });
}

}  // namespace vostrel::py
