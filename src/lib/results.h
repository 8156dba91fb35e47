// Conversion of engine results (other than search hits) into new Python objects,
// with the interpreter lock held after the engine call has returned.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "db/database.h"

namespace dralm::py {

// (list of floats widened exactly, metadata dict or None).
PyObject* get_result_to_python(const GetResult& result);
// The statistics dict, keys in their documented order.
PyObject* stats_to_dict(const Stats& stats);
// A list of str, in order.
PyObject* strings_to_list(const std::vector<std::string>& strings);

}  // namespace dralm::py
