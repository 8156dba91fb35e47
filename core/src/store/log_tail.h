// What open does with the part of the log that replay could not read.
#pragma once

#include "store/wal_record.h"

namespace dralm {

// Called after replay when the log holds bytes past its last intact frame
// (contents.valid_length < contents.file_length). Those bytes are cut off so later
// appends are not hidden behind them, with two exceptions:
// - when intact frames follow the damage (a damaged record in the middle, not a tail
//   torn by a crash), the whole log is first copied aside, next to it, as
//   "wal.dralm.damaged" (or ".damaged.1", ...), and standard error says so; no copy is
//   made when the newest existing one already holds the same bytes (a log that could
//   not be cut is met again at every open); if the copy cannot be made, nothing is cut
//   and every write is refused (refuse_writes);
// - when the file cannot be cut (read-only storage), the cut is left to the next
//   append (defer_cut), so the database still opens for reading.
// Never fails the open. Not called for a read-only database, which changes nothing.
// Requires: the database's wal mutex held (or the database not yet shared).
void settle_log_tail(WalWriter& wal, const WalContents& contents);

}  // namespace dralm
