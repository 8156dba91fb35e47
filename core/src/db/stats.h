// The figures of Database::stats() computed from one index, for the database and the
// tests that check them on an index of their own.
#pragma once

#include "db/database.h"
#include "hnsw/hnsw_index.h"

namespace dralm {

// Requires: the index held shared.
Stats index_stats(const HnswIndex& index);

}  // namespace dralm
