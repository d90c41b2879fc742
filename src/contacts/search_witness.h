// The phone's search index as a witness of who owned which number. Newer
// address books keep, per person, one record of the search index's content
// table (ABPersonFullTextSearch_content) holding the person's names,
// organization, numbers and e-mail addresses together; its freed records
// survive deletion like the person's own. This module carves those records
// (by the table's own definition, carve/table_carver.h) and keeps of each what
// a link needs: the names and the phone and e-mail texts. What they prove is
// decided in value_links.h.
//
// The records are attacker-controlled text: a text longer than
// kMaxWitnessText bytes is not kept (its record proves nothing), and a run keeps at most kMaxWitnesses
// distinct records and kMaxWitnessBytes of their texts in all (copies of one
// record, in the WAL, the journal or a freed page, are kept once), so memory
// and the links' work stay bounded whatever the input. Plain data and one
// function; not thread-safe.
#ifndef QUARROW_CONTACTS_SEARCH_WITNESS_H_
#define QUARROW_CONTACTS_SEARCH_WITNESS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ports.h"
#include "schema/table_definitions.h"

namespace quarrow {

inline constexpr std::string_view kSearchContentTable = "ABPersonFullTextSearch_content";
inline constexpr size_t kMaxWitnessText = 4096;
inline constexpr size_t kMaxWitnesses = 200'000;
inline constexpr size_t kMaxWitnessBytes = size_t{64} << 20;

// A person's names as both a person row and a search record give them:
// First, Last, Middle, Organization.
using PersonNames = std::array<std::string, 4>;

struct SearchWitness {
  PersonNames names;          // control bytes as spaces, as person rows show them
  std::optional<int64_t> docid;  // the person's rowid, when the cell kept it
  std::string phones;         // c15Phone as stored: numbers as typed and as digits
  std::string emails;         // c16Email
  // A text was longer than kMaxWitnessText: the record lists more than a
  // person's values, and its texts are not kept.
  bool overlong = false;
  bool operator==(const SearchWitness&) const = default;
};

// What the search index tells: its records, and which person rowids (1 to
// 2000) are live in the database as it stands (their values link by rowid).
struct SearchEvidence {
  std::vector<SearchWitness> witnesses;
  std::vector<uint8_t> live_person_ids;  // indexed by rowid; empty when unknown
};

// Carves the search records of `input_path` when `schema` defines the search
// content table (else returns nothing, reading nothing). Records whose names
// or texts were lost are left out; so is everything past kMaxWitnesses or
// kMaxWitnessBytes.
// Returns nothing more when `progress` cancels (the caller tells). Throws
// Error only when the input cannot be opened.
SearchEvidence CarveSearchEvidence(const std::string& input_path, const InputSchema& schema,
                                   int threads, ProgressSink* progress = nullptr);

// The witness of one search record given as its column values by name (for
// the carver's records and tests): false when it holds no name.
bool MakeWitness(std::string_view first, std::string_view last, std::string_view middle,
                 std::string_view organization, std::string_view phones,
                 std::string_view emails, std::optional<int64_t> docid, SearchWitness& out);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_SEARCH_WITNESS_H_
