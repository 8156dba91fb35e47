// The name of every file a database directory holds, each made by one function here:
//
//   graph.dralm     the saved graph, ids and metadata (persistence.h)
//   vectors.bin     the saved full-precision vectors and norms, mapped at open
//   vectors.sq8     the saved SQ8 codes (quantize/sq8.h), present when quantized
//   vectors.sq4     the 4-bit traversal codes (sq4_file.h), present when saved with
//                   4-bit search on; derived data, trained again when damaged
//   wal.dralm       the log of changes since the last save (wal_record.h)
//   graph.tmp, vectors.tmp
//                   a save's temporary siblings, renamed over their targets
//   vectors.sq4.tmp the 4-bit codes' own temporary: vectors.tmp already stands for an
//                   interrupted save of vectors.bin, which the loader inspects
//   wal.dralm.damaged, wal.dralm.damaged.1, ...
//                   copies of a damaged log kept aside (log_tail.h)
//   LOCK            the writer's lock file; the directory lock owns its name
//                   (kLockFileName, util/directory_lock.h), as it takes the directory
//
// A saved file added to the format gets its function here, beside the others, and its
// line above.
#pragma once

#include <string>

namespace dralm {

std::string graph_file(const std::string& directory);
std::string vectors_file(const std::string& directory);
std::string sq8_file(const std::string& directory);
std::string sq4_file(const std::string& directory);
std::string wal_file(const std::string& directory);

// The temporary sibling a save writes before renaming it over `path`: the extension of
// the last component replaced by "tmp" ("dir/vectors.bin" -> "dir/vectors.tmp"), or
// ".tmp" appended when it has none.
std::string temporary_path(const std::string& path);

// The temporary `vectors.sq4` is written to before its rename: "<path>.tmp".
std::string sq4_temporary_path(const std::string& sq4_path);

// The copy number `n` of the damaged log at `log_path`: "<log>.damaged" for 0, then
// "<log>.damaged.<n>".
std::string damaged_log_copy(const std::string& log_path, int n);

}  // namespace dralm
