// Conversion of Python arguments into engine values. Everything here runs with the
// interpreter lock held, before an engine call, and copies what it reads: the engine
// never sees Python memory. Each function returns false (or kFailed) with a Python
// exception set when the argument cannot be converted.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "py_ref.h"

namespace dralm::py {

// Which argument of which method is being converted; every TypeError names both.
struct ArgName {
  const char* method;
  const char* arg;
};

// The name of `object`'s type as messages give it (the type's tp_name).
const char* type_name(PyObject* object);

// Raises TypeError "<method>() argument '<arg>' must be <expected>, not <type of got>".
void raise_arg_type_error(ArgName name, const char* expected, PyObject* got);

// Interns the names used on hot paths; called once from module initialisation.
bool init_convert();

// ---- Scalars.

// A str (or subclass) copied as UTF-8.
bool to_string(PyObject* object, ArgName name, std::string& out);
// A filesystem path: a str, bytes (decoded as os.fsdecode does) or an os.PathLike
// giving either, copied as UTF-8.
bool to_path(PyObject* object, ArgName name, std::string& out);
// None gives nullopt, otherwise as to_string.
bool to_optional_string(PyObject* object, ArgName name, std::optional<std::string>& out);
// A non-negative int (or an object with __index__); OverflowError when negative or
// beyond 64 bits.
bool to_u64(PyObject* object, ArgName name, uint64_t& out);
bool to_optional_u64(PyObject* object, ArgName name, std::optional<uint64_t>& out);
// None, or a number narrowed to the nearest 32-bit float.
bool to_optional_f32(PyObject* object, ArgName name, std::optional<float>& out);
// Exactly True or False.
bool to_bool(PyObject* object, ArgName name, bool& out);

// ---- Ids.

// A non-str sequence of str, copied in order.
bool to_ids(PyObject* object, ArgName name, std::vector<std::string>& out);

// ---- Metadata through the Python json module.

// json.<name> (json is imported through the import machinery on each call; the
// module cache makes that a dictionary lookup). Null with an exception on failure.
PyRef json_function(PyObject* interned_name);
PyObject* json_dumps_name();
PyObject* json_loads_name();

// json.dumps(dict) parsed into a JsonValue. A non-standard text (NaN, Infinity)
// raises ValueError "invalid metadata: " + the parser's description.
bool metadata_to_json(PyObject* dumps, PyObject* dict, JsonValue& out);
// The `metadata` argument: None gives nullopt, a dict (or subclass) is converted.
bool to_metadata(PyObject* object, ArgName name, std::optional<JsonValue>& out);
// The items of a `metadatas` list, each None or a dict; any other item raises
// ValueError "metadatas must be list of dicts or None". The caller has checked that
// `list` is a list and its length.
bool to_metadatas(PyObject* list, std::vector<std::optional<JsonValue>>& out);

// json.loads(text): the engine's own serialisation read back into Python objects.
// A failure means the engine produced text json cannot read: an internal fault.
PyObject* json_to_python(std::string_view text);

}  // namespace dralm::py
