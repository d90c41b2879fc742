#include "search/find_data.h"

namespace quarrow {

std::vector<std::string> InitialDdlLines() {
  return {
      "ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT,",
      "First TEXT, ",
      "Last TEXT, ",
      "Middle TEXT, ",
      "FirstPhonetic TEXT, ",
      "MiddlePhonetic TEXT, ",
      "LastPhonetic TEXT, ",
      "Organization TEXT, ",
      "Department TEXT, ",
      "Note TEXT, ",
      "Kind INTEGER, ",
      "Birthday TEXT, ",
      "JobTitle TEXT, ",
      "Nickname TEXT, ",
      "Prefix TEXT, ",
      "Suffix TEXT, ",
      "FirstSort TEXT, *",
      "LastSort TEXT, *",
      "CreationDate INTEGER, ",
      "ModificationDate INTEGER, ",
      "CompositeNameFallback TEXT, ",
      "ExternalIdentifier TEXT, ",
      "StoreID INTEGER, ",
      "DisplayName TEXT, ",
      "ExternalRepresentation BLOB, ",
      "FirstSortSection TEXT, *",
      "LastSortSection TEXT, *",
      "FirstSortLanguageIndex INTEGER DEFAULT 2147483647, ",
      "LastSortLanguageIndex INTEGER DEFAULT 2147483647);",
  };
}

}  // namespace quarrow
