// Anchoring a relative path to the current directory once, when it is given.
#pragma once

#include <string>

namespace dralm {

// `path` prefixed with the current working directory when it is relative; an absolute
// path, or a relative one when the current directory cannot be read (it was removed),
// is returned as it is. Purely textual: nothing is resolved or required to exist.
std::string absolute_path(const std::string& path);

}  // namespace dralm
