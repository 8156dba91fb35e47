// Deciding at open whether a directory holds a saved database to load.
#pragma once

#include <string>

#include "util/error.h"

namespace dralm {

// True when the saved files are there to load (vectors.bin with graph.dralm, or with
// the graph.tmp of a first save cut short, which the loader recognises); false when
// none of the data files graph.dralm, vectors.bin and vectors.sq8 exists, which is a
// directory to create a database in. Any other mix is what is left of a saved database
// after a file was lost: an Io error naming what is missing, so that open neither
// creates a new database over it nor lets a later save overwrite what survived.
// Other files (the log, temporary files, a lock file) play no part.
Result<bool> saved_files_present(const std::string& graph_path, const std::string& vectors_path,
                                 const std::string& sq8_path);

}  // namespace dralm
