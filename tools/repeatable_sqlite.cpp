#include "repeatable_sqlite.h"

#include <sqlite3.h>

namespace quarrow {

namespace {

constexpr const char* kName = "quarrow-repeatable";

int FixedRandomness(sqlite3_vfs*, int length, char* out) {
  for (int i = 0; i < length; ++i) out[i] = static_cast<char>(i * 131 + 7);
  return length;
}

}  // namespace

const char* RepeatableSqliteVfs() {
  static sqlite3_vfs repeatable = [] {
    sqlite3_vfs copy = *sqlite3_vfs_find(nullptr);
    copy.zName = kName;
    copy.xRandomness = FixedRandomness;
    return copy;
  }();
  static const int registered = sqlite3_vfs_register(&repeatable, 1);
  (void)registered;
  sqlite3_randomness(0, nullptr);  // seeded again from the fixed bytes
  return kName;
}

}  // namespace quarrow
