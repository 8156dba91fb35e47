// SearchResult: one search hit as a Python object, created only by the binding.
// It keeps the metadata as the engine's compact JSON text and turns it into Python
// objects on each read, so building a result list costs one object per hit.
#pragma once

#include <Python.h>

#include <vector>

#include "db/database.h"

namespace dralm::py {

// Readies the class; called once from module initialisation.
bool init_search_result_type();
PyTypeObject* search_result_type();

// A new list with one SearchResult per hit, in order. Moves the ids and metadata
// texts out of `hits`.
PyObject* hits_to_list(std::vector<QueryHit>& hits);
// A new list of such lists, one per query.
PyObject* hit_lists_to_list(std::vector<std::vector<QueryHit>>& lists);

}  // namespace dralm::py
