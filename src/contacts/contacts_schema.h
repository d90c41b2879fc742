// The column lists and label filing that contacts recovery uses for one input:
// the input's own ABPerson and ABMultiValue definitions and its label table when
// it holds usable ones, the built-in schemas and the fixed label ids otherwise.
// Report columns never change: person cells are filled by column name. Plain
// values, built once per run and then only read (by the scan's workers too).
#ifndef QUARROW_CONTACTS_CONTACTS_SCHEMA_H_
#define QUARROW_CONTACTS_CONTACTS_SCHEMA_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "schema/table_definitions.h"

namespace quarrow {

struct ContactsSchema {
  // The person pass's DDL lines and, for each of the report's person cells 3
  // to 31 (built-in columns 0 to 28), the index of the column filling it, or
  // -1: kNullCell for a built-in suppressed column ("null"), kEmptyCell for a
  // column the input's table lacks.
  std::vector<std::string> person_lines;
  std::vector<int> person_cells;
  // The multi-value pass's DDL lines: record id, property, label and value
  // are always at the built-in indexes.
  std::vector<std::string> multi_value_lines;
  // How many of the person and multi-value columns every record of the table
  // has: the built-in ones, when the input's definition grew from them
  // (records written before it grew have only those; record_shape.h); else
  // all of them.
  size_t person_shared = 0;
  size_t multi_value_shared = 0;
  // The built-in lists serve because the input's own definition was found
  // only damaged or cut: the table's records may have more columns, and are
  // read by their own header (record_shape.h).
  bool person_narrower = false;
  bool multi_value_narrower = false;
  // Label id to report column (32 to 38, phones' columns) when the input holds
  // a label table; empty: labels 1 to 6 are filed by the fixed rule.
  std::unordered_map<int64_t, int> label_columns;
  bool has_label_table = false;

  static constexpr int kNullCell = -1;
  static constexpr int kEmptyCell = -2;
};

// The built-in schemas and the fixed label rule.
ContactsSchema BuiltInContactsSchema();

// The schemas for an input whose definitions are `input`. A definition is used
// when it parses and looks like the address book's table (the person table
// names First and Last and has at most 1,000 columns; the multi-value table
// has record_id, property, label and value at the built-in places); one that
// has exactly the built-in columns keeps the built-in lines. One that starts
// with the built-in columns and has more shares those. Where the input's
// definition was found only damaged or cut, the built-in one serves, narrower.
ContactsSchema ChooseContactsSchema(const InputSchema& input);

// The report column (32 to 38) of a label's text: "_$!<Mobile>!$_" and
// "Mobile" give MOBILE's, likewise iPhone, Home, Other, Work and WorkFAX (any
// case); any other text gives Unknown's.
int LabelColumnOfName(std::string_view label);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_SCHEMA_H_
