#include "store/file_names.h"

#include "util/file_io.h"

namespace dralm {

std::string graph_file(const std::string& directory) { return join_path(directory, "graph.dralm"); }

std::string vectors_file(const std::string& directory) {
  return join_path(directory, "vectors.bin");
}

std::string sq8_file(const std::string& directory) { return join_path(directory, "vectors.sq8"); }

std::string sq4_file(const std::string& directory) { return join_path(directory, "vectors.sq4"); }

std::string wal_file(const std::string& directory) { return join_path(directory, "wal.dralm"); }

std::string temporary_path(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= name_start) return path + ".tmp";
  return path.substr(0, dot) + ".tmp";
}

std::string sq4_temporary_path(const std::string& sq4_path) { return sq4_path + ".tmp"; }

std::string damaged_log_copy(const std::string& log_path, int n) {
  const std::string base = log_path + ".damaged";
  return n == 0 ? base : base + "." + std::to_string(n);
}

}  // namespace dralm
