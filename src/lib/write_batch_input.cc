#include "write_batch_input.h"

#include "convert.h"
#include "vector_input.h"

namespace dralm::py {

bool to_write_batch(const char* method, PyObject* ids, PyObject* vectors, PyObject* metadatas,
                    WriteBatch& out) {
  if (!to_ids(ids, {method, "ids"}, out.ids)) return false;
  if (!to_vector_batch(vectors, {method, "vectors"}, out.vectors)) return false;
  if (metadatas == Py_None) metadatas = nullptr;
  if (metadatas != nullptr && !PyList_Check(metadatas)) {
    raise_arg_type_error({method, "metadatas"}, "list or None", metadatas);
    return false;
  }
  const size_t id_count = out.ids.size();
  if (id_count != out.vectors.size()) {
    PyErr_Format(PyExc_ValueError, "ids length (%zu) != vectors length (%zu)", id_count,
                 out.vectors.size());
    return false;
  }
  if (metadatas == nullptr) return true;
  const size_t metadata_count = static_cast<size_t>(PyList_GET_SIZE(metadatas));
  if (metadata_count != id_count) {
    PyErr_Format(PyExc_ValueError, "metadatas length (%zu) != ids length (%zu)", metadata_count,
                 id_count);
    return false;
  }
  if (!to_metadatas(metadatas, out.metadatas)) return false;
  // json.dumps may have run code that resized the list after the length check.
  if (out.metadatas.size() != id_count) {
    PyErr_Format(PyExc_ValueError, "metadatas length (%zu) != ids length (%zu)",
                 out.metadatas.size(), id_count);
    return false;
  }
  return true;
}

}  // namespace dralm::py
