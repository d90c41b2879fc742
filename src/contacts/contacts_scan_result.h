// What the scan phase of contacts recovery collects before any row is
// written: the values filed under their record ids, where each id's first
// value lay, and the search index's records that link values to persons.
// The report is made from it (person_pass.h); shards of a run can carry it.
// Plain data; not thread-safe.
#ifndef QUARROW_CONTACTS_CONTACTS_SCAN_RESULT_H_
#define QUARROW_CONTACTS_CONTACTS_SCAN_RESULT_H_

#include <vector>

#include "contacts/label_cells.h"
#include "contacts/record_facts.h"
#include "contacts/search_witness.h"

namespace quarrow {

struct ContactsScanResult {
  LabelCells labels;
  std::vector<ValueOrigin> value_origins;  // indexed by record id
  SearchEvidence search;                   // empty where the input has no search index
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_SCAN_RESULT_H_
