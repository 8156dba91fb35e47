#include "store/file_set.h"

#include "store/file_names.h"
#include "store/persistence.h"
#include "util/file_io.h"

namespace dralm {
namespace {

std::string file_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Result<bool> saved_files_present(const std::string& graph_path, const std::string& vectors_path,
                                 const std::string& sq8_path) {
  const bool graph = file_exists(graph_path);
  const bool vectors = file_exists(vectors_path);
  const bool sq8 = file_exists(sq8_path);
  if (vectors && (graph || file_exists(temporary_path(graph_path)))) return true;
  if (!graph && !vectors && !sq8) return false;

  std::string present;
  std::string missing;
  auto note = [](std::string& list, const std::string& path) {
    list += (list.empty() ? "" : " and ") + file_name(path);
  };
  for (const std::string* path : {&graph_path, &vectors_path, &sq8_path}) {
    if (file_exists(*path)) note(present, *path);
  }
  if (!graph) note(missing, graph_path);
  if (!vectors) note(missing, vectors_path);
  return DbError::io("incomplete database in '" + parent_directory(graph_path) + "': " + present +
                     (present.find(" and ") == std::string::npos ? " exists" : " exist") + " but " +
                     missing + (missing.find(" and ") == std::string::npos ? " is" : " are") +
                     " missing; restore the missing file, or move the others away to create a "
                     "new database here");
}

}  // namespace dralm
