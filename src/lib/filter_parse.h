// Translation of a `where_filter` dict into a FilterExpr, with the interpreter lock
// held and before any engine work. Errors are ValueErrors with fixed texts (the
// first one met in dict order wins), or the TypeError of a non-str key.
#pragma once

#include <Python.h>

#include <optional>

#include "convert.h"
#include "filter/filter.h"
#include "json/json.h"

namespace dralm::py {

// A dict (or subclass): one condition per equality field, per operator and per
// top-level "$and" / "$or" (a non-empty list of filter dicts, parsed the same way, at
// most kMaxFilterDepth levels deep); a single condition as itself, zero or several as an
// all-of in dict order.
bool parse_filter(PyObject* dict, ArgName name, FilterExpr& out);

// The `where_filter` argument: None (or absent) gives nullopt, a dict is parsed,
// anything else is a TypeError.
bool to_filter(PyObject* object, ArgName name, std::optional<FilterExpr>& out);

// One operand of an equality, "$ne" or an element of "$in" / "$nin": str, bool, an int that
// fits in 64 bits, a float (NaN and infinities become null) or None. Anything else
// raises ValueError "unsupported filter value type".
bool filter_value(PyObject* object, JsonValue& out);

}  // namespace dralm::py
