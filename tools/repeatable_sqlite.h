// SQLite for the generators: files that one seed makes the same on every run.
// SQLite draws each rollback journal's nonce and each log's salts from its
// file system layer's randomness; the generators open their databases
// through a copy of the default layer whose randomness is fixed, and seed
// SQLite's generator from it again for each database they make.
#ifndef QUARROW_TOOLS_REPEATABLE_SQLITE_H_
#define QUARROW_TOOLS_REPEATABLE_SQLITE_H_

namespace quarrow {

// Registers the repeatable layer (once) and seeds SQLite's generator from
// it; returns the layer's name, for sqlite3_open_v2. Call before each
// database is made. Not thread-safe: the generators make one at a time.
const char* RepeatableSqliteVfs();

}  // namespace quarrow

#endif  // QUARROW_TOOLS_REPEATABLE_SQLITE_H_
