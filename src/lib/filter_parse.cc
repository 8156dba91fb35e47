#include "filter_parse.h"

#include <string>
#include <utility>
#include <vector>

#include "py_ref.h"

namespace dralm::py {
namespace {

// Clears a conversion failure that only means "not this kind of value". Returns false
// when the pending exception must propagate instead (KeyboardInterrupt, MemoryError
// and other exceptions outside Exception).
bool clear_soft_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

// Walks a dict in its order, holding each key and value while `visit` runs: visiting
// may call user code (__index__, __float__) that changes the dict.
template <typename Visit>
bool for_each_item(PyObject* dict, Visit&& visit) {
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    PyRef held_key = PyRef::borrow(key);
    PyRef held_value = PyRef::borrow(value);
    if (!visit(held_key.get(), held_value.get())) return false;
    if (PyDict_Size(dict) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return false;
    }
  }
  return true;
}

bool key_to_string(PyObject* key, ArgName name, const char* what, std::string& out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' %s must be str, not %s", name.method,
                 name.arg, what, Py_TYPE(key)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

struct RangeOperator {
  const char* key;
  FilterExpr::Kind kind;
};
constexpr RangeOperator kRangeOperators[] = {
    {"$gt", FilterExpr::Kind::Gt},
    {"$gte", FilterExpr::Kind::Gte},
    {"$lt", FilterExpr::Kind::Lt},
    {"$lte", FilterExpr::Kind::Lte},
};

// The list operand of "$in" or "$nin" (`op`), its elements converted in order.
bool parse_value_list(const std::string& op, PyObject* operand, std::vector<JsonValue>& values) {
  if (!PyList_Check(operand)) {
    raise_value_error(op + " value must be a list");
    return false;
  }
  // A snapshot: converting an element may run code that changes the list.
  PyRef items = PyRef::steal(PyList_GetSlice(operand, 0, PyList_GET_SIZE(operand)));
  if (!items) return false;
  const Py_ssize_t size = PyList_GET_SIZE(items.get());
  values.reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!filter_value(PyList_GET_ITEM(items.get(), i), values.emplace_back())) return false;
  }
  return true;
}

// An integer bound, kept exact: 64-bit integers as they are, wider ones as their
// nearest double and the side the integer lies on. False with an exception set when
// the conversion failed.
bool integer_bound(PyObject* integer, RangeBound& out) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    out = RangeBound::integer(value);
    return true;
  }
  if (overflow > 0) {
    const unsigned long long wide = PyLong_AsUnsignedLongLong(integer);
    if (wide != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
      out = RangeBound::unsigned_integer(wide);
      return true;
    }
    PyErr_Clear();  // beyond 2^64 - 1: the wide form below
  }
  // OverflowError beyond the largest double.
  const double nearest = PyLong_AsDouble(integer);
  if (nearest == -1.0 && PyErr_Occurred()) return false;
  PyRef rounded = PyRef::steal(PyLong_FromDouble(nearest));
  if (!rounded) return false;
  const int above = PyObject_RichCompareBool(integer, rounded.get(), Py_GT);
  if (above < 0) return false;
  const int below = PyObject_RichCompareBool(integer, rounded.get(), Py_LT);
  if (below < 0) return false;
  out = RangeBound::wide_integer(nearest, above - below);
  return true;
}

// The operand of a range operator `op`: a float as it is, an int (or any object with an
// index conversion, such as NumPy integers) exactly, anything else through the float
// protocol. Fails with "<op> value must be a number".
bool range_bound(const std::string& op, PyObject* operand, RangeBound& out) {
  if (!PyFloat_Check(operand) && PyIndex_Check(operand)) {
    PyRef integer = PyRef::steal(PyNumber_Index(operand));
    if (integer && integer_bound(integer.get(), out)) return true;
    // Only a failed conversion ends here; an interrupt propagates, anything else tries
    // the float protocol like any other operand.
    if (!clear_soft_error()) return false;
  }
  const double bound = PyFloat_AsDouble(operand);
  if (bound == -1.0 && PyErr_Occurred()) {
    if (!clear_soft_error()) return false;
    raise_value_error(op + " value must be a number");
    return false;
  }
  out = RangeBound(bound);
  return true;
}

// Appends the conditions of one operator dict {op: operand, ...} on `field`.
bool parse_operators(const std::string& field, PyObject* operators, ArgName name,
                     std::vector<FilterExpr>& conditions) {
  return for_each_item(operators, [&](PyObject* key, PyObject* operand) {
    std::string op;
    if (!key_to_string(key, name, "operator keys", op)) return false;
    if (op == "$ne") {
      JsonValue value;
      if (!filter_value(operand, value)) return false;
      conditions.push_back(FilterExpr::ne(field, std::move(value)));
      return true;
    }
    if (op == "$in" || op == "$nin") {
      std::vector<JsonValue> values;
      if (!parse_value_list(op, operand, values)) return false;
      conditions.push_back(op == "$in" ? FilterExpr::in(field, std::move(values))
                                       : FilterExpr::nin(field, std::move(values)));
      return true;
    }
    for (const RangeOperator& range : kRangeOperators) {
      if (op != range.key) continue;
      RangeBound bound;
      if (!range_bound(op, operand, bound)) return false;
      conditions.push_back(FilterExpr::range(range.kind, field, bound));
      return true;
    }
    raise_value_error("unknown operator: " + op);
    return false;
  });
}

bool parse_filter_dict(PyObject* dict, ArgName name, int depth, FilterExpr& out);

// The operand of a top-level "$and" or "$or" (`op`): a non-empty list of filter dicts,
// each parsed like a whole where_filter.
bool parse_filter_list(const std::string& op, PyObject* operand, ArgName name, int depth,
                       FilterExpr& out) {
  if (!PyList_Check(operand)) {
    raise_value_error(op + " value must be a list");
    return false;
  }
  if (PyList_GET_SIZE(operand) == 0) {
    raise_value_error(op + " value must be a non-empty list");
    return false;
  }
  // Each level of $and / $or is a level of recursion here and in the engine; the bound
  // also ends a list that contains itself.
  if (depth >= kMaxFilterDepth) {
    raise_value_error("filter nested too deeply (at most " + std::to_string(kMaxFilterDepth) +
                      " levels of $and / $or)");
    return false;
  }
  // A snapshot: parsing an element may run code that changes the list.
  PyRef items = PyRef::steal(PyList_GetSlice(operand, 0, PyList_GET_SIZE(operand)));
  if (!items) return false;
  const Py_ssize_t size = PyList_GET_SIZE(items.get());
  std::vector<FilterExpr> members;
  members.reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* element = PyList_GET_ITEM(items.get(), i);
    if (!PyDict_Check(element)) {
      raise_value_error(op + " list elements must be dicts");
      return false;
    }
    FilterExpr& member = members.emplace_back();
    if (!parse_filter_dict(element, name, depth + 1, member)) return false;
    // A where_filter of {} matches nothing, yet an empty all-of on its own holds for
    // every object: refused here rather than given either meaning.
    if (member.kind == FilterExpr::Kind::AllOf && member.members.empty()) {
      raise_value_error(op + " list elements must not be empty filters");
      return false;
    }
  }
  out =
      op == "$or" ? FilterExpr::any_of(std::move(members)) : FilterExpr::all_of(std::move(members));
  return true;
}

// One filter dict, at `depth` levels of $and / $or below the where_filter itself.
bool parse_filter_dict(PyObject* dict, ArgName name, int depth, FilterExpr& out) {
  std::vector<FilterExpr> conditions;
  const bool ok = for_each_item(dict, [&](PyObject* key, PyObject* value) {
    std::string field;
    if (!key_to_string(key, name, "keys", field)) return false;
    if (field == "$and" || field == "$or") {
      return parse_filter_list(field, value, name, depth, conditions.emplace_back());
    }
    if (PyDict_Check(value)) return parse_operators(field, value, name, conditions);
    JsonValue operand;
    if (!filter_value(value, operand)) return false;
    conditions.push_back(FilterExpr::eq(std::move(field), std::move(operand)));
    return true;
  });
  if (!ok) return false;
  if (conditions.size() == 1) {
    out = std::move(conditions.front());
  } else {
    out = FilterExpr::all_of(std::move(conditions));
  }
  return true;
}

}  // namespace

bool filter_value(PyObject* object, JsonValue& out) {
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
    out = JsonValue::string(std::string(utf8, static_cast<size_t>(size)));
    return true;
  }
  if (PyBool_Check(object)) {
    out = JsonValue::boolean(object == Py_True);
    return true;
  }
  if (PyIndex_Check(object)) {
    PyRef number = PyRef::steal(PyNumber_Index(object));
    if (number) {
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
      if (value == -1 && PyErr_Occurred()) {
        if (!clear_soft_error()) return false;
      } else if (overflow == 0) {
        out = value < 0 ? JsonValue::integer(value)
                        : JsonValue::unsigned_int(static_cast<uint64_t>(value));
        return true;
      } else if (overflow > 0) {
        // Up to 2^64 - 1 stays an integer, the same kind metadata of that value parses
        // to; only wider ints go on to the float form.
        const unsigned long long wide = PyLong_AsUnsignedLongLong(number.get());
        if (wide != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
          out = JsonValue::unsigned_int(wide);
          return true;
        }
        if (!clear_soft_error()) return false;
      }
    } else if (!clear_soft_error()) {
      return false;
    }
  }
  if (object != Py_None) {
    const double value = PyFloat_AsDouble(object);
    if (value != -1.0 || !PyErr_Occurred()) {
      out = JsonValue::number(value);  // NaN and infinities become null
      return true;
    }
    if (!clear_soft_error()) return false;
  } else {
    out = JsonValue::null();
    return true;
  }
  raise_value_error("unsupported filter value type");
  return false;
}

bool parse_filter(PyObject* dict, ArgName name, FilterExpr& out) {
  return parse_filter_dict(dict, name, 0, out);
}

bool to_filter(PyObject* object, ArgName name, std::optional<FilterExpr>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  if (!PyDict_Check(object)) {
    raise_arg_type_error(name, "dict or None", object);
    return false;
  }
  return parse_filter(object, name, out.emplace());
}

}  // namespace dralm::py
