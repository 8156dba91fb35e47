#include "util/absolute_path.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "util/file_io.h"

namespace dralm {

std::string absolute_path(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return path;
    buffer.resize(buffer.size() * 2);
  }
  return join_path(std::string(buffer.data()), path);
}

}  // namespace dralm
