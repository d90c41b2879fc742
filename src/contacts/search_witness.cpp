#include "contacts/search_witness.h"

#include <algorithm>
#include <functional>
#include <unordered_set>

#include "carve/record_values.h"
#include "carve/table_carver.h"
#include "contacts/label_cells.h"
#include "schema/create_table.h"

namespace quarrow {

namespace {

// A text as a person row shows it: control bytes as spaces, cut at
// kMaxWitnessText.
std::string Shown(std::string_view text) {
  std::string out(text.substr(0, kMaxWitnessText));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return out;
}

// Column `name`'s index in `table`, or -1.
int ColumnIndex(const FitTable& table, std::string_view name) {
  for (size_t i = 0; i < table.columns.size(); ++i)
    if (AsciiLower(table.columns[i].name) == AsciiLower(name)) return static_cast<int>(i);
  return -1;
}

// The columns a witness reads, by index in the table (-1: the table lacks it).
struct WitnessColumns {
  int first, last, middle, organization, phones, emails;
  bool usable() const { return first >= 0 && last >= 0 && phones >= 0 && emails >= 0; }
};

WitnessColumns ColumnsOf(const FitTable& table) {
  return {ColumnIndex(table, "c0First"),        ColumnIndex(table, "c1Last"),
          ColumnIndex(table, "c2Middle"),       ColumnIndex(table, "c6Organization"),
          ColumnIndex(table, "c15Phone"),       ColumnIndex(table, "c16Email")};
}

// The text of value `index` (empty for NULL or a missing column); false when
// it was lost or is a number or blob, which no name or list is.
bool TextOf(const std::vector<RecordValue>& values, int index, std::string_view& text) {
  text = {};
  if (index < 0 || static_cast<size_t>(index) >= values.size()) return true;
  const RecordValue& value = values[static_cast<size_t>(index)];
  if (value.kind == RecordValue::Kind::kNull) return true;
  if (value.kind != RecordValue::Kind::kText) return false;
  text = value.bytes;
  return true;
}

struct WitnessHash {
  size_t operator()(const SearchWitness& w) const {
    std::hash<std::string> h;
    size_t seed = h(w.phones) ^ (h(w.emails) << 1);
    for (const std::string& name : w.names) seed = seed * 1000003u ^ h(name);
    return seed ^ static_cast<size_t>(w.docid.value_or(-1)) ^ w.overlong;
  }
};

}  // namespace

bool MakeWitness(std::string_view first, std::string_view last, std::string_view middle,
                 std::string_view organization, std::string_view phones,
                 std::string_view emails, std::optional<int64_t> docid, SearchWitness& out) {
  out.names = {Shown(first), Shown(last), Shown(middle), Shown(organization)};
  if (std::all_of(out.names.begin(), out.names.end(),
                  [](const std::string& name) { return name.empty(); }))
    return false;
  out.overlong = phones.size() > kMaxWitnessText || emails.size() > kMaxWitnessText;
  out.phones = out.overlong ? std::string() : std::string(phones);
  out.emails = out.overlong ? std::string() : std::string(emails);
  out.docid = docid;
  return true;
}

SearchEvidence CarveSearchEvidence(const std::string& input_path, const InputSchema& schema,
                                   int threads, ProgressSink* progress) {
  SearchEvidence evidence;
  const std::optional<TableDefinition> definition =
      schema.Table(std::string(kSearchContentTable));
  if (!definition) return evidence;
  CarveTarget target;
  target.table = FitTableOf(*definition);
  // The columns are declared without a type, so any serial type fits them
  // and nearly every byte position would be tried; the phone writes only
  // texts or NULL into them, and a record holding anything else is no
  // witness anyway.
  for (FitColumn& column : target.table.columns) {
    if (column.rowid_alias) continue;
    column.affinity = Affinity::kText;
    column.small_types = 1;  // NULL
    column.texts = true;
    column.blobs = false;
  }
  const WitnessColumns columns = ColumnsOf(target.table);
  if (!columns.usable()) return evidence;
  // The catalog's other tables, so that their records are not taken for
  // search records.
  std::vector<CarveTarget> others;
  for (const auto& [name, sql] : schema.tables) {
    if (AsciiLower(name) == AsciiLower(kSearchContentTable)) continue;
    if (std::optional<TableDefinition> other = ParseCreateTable(sql))
      if (!other->without_rowid) {
        others.emplace_back();
        others.back().table = FitTableOf(*other);
      }
  }
  TableCarver carver(input_path, threads);
  for (const SchemaRow& row : carver.image().Schema()) {
    if (row.type != "table") continue;
    CarveTarget* owner = AsciiLower(row.name) == AsciiLower(kSearchContentTable) ? &target : nullptr;
    for (CarveTarget& other : others)
      if (AsciiLower(other.table.name) == AsciiLower(row.name)) owner = &other;
    if (owner != nullptr) {
      owner->root_page = row.root_page;
      owner->live = true;
    }
  }
  // Live persons: their values link by rowid, never by the index.
  const LiveRows& live = carver.live_rows();
  if (live.Knows("ABPerson")) {
    evidence.live_person_ids.assign(LabelCells::kMaxId + 1, 0);
    for (int id = 1; id <= LabelCells::kMaxId; ++id)
      evidence.live_person_ids[id] =
          live.StateOf("ABPerson", id, std::string_view()) != RecordState::kDeleted;
  }
  // Copies of a record are kept once (a hash that two records share drops
  // the second: a link fewer, never a wrong one).
  std::unordered_set<size_t> seen;
  std::vector<std::string> scratch;
  size_t bytes = 0;
  carver.Carve(
      target, others,
      [&](const CarvedRecord& record) {
        if (seen.size() >= kMaxWitnesses || bytes >= kMaxWitnessBytes) return;
        // A live person's record links nothing (value_links.h): not read.
        if (record.rowid && *record.rowid >= 1 &&
            static_cast<size_t>(*record.rowid) < evidence.live_person_ids.size() &&
            evidence.live_person_ids[static_cast<size_t>(*record.rowid)])
          return;
        // A value lost or cut short proves nothing: a cut list could end in
        // part of a number.
        for (int index : {columns.first, columns.last, columns.middle, columns.organization,
                          columns.phones, columns.emails})
          if (index >= 0 && static_cast<size_t>(index) < record.lost.size() &&
              record.lost[static_cast<size_t>(index)] != 0)
            return;
        const std::vector<RecordValue> values = DecodeRecord(record, target.table, scratch);
        std::string_view first, last, middle, organization, phones, emails;
        if (!TextOf(values, columns.first, first) || !TextOf(values, columns.last, last) ||
            !TextOf(values, columns.middle, middle) ||
            !TextOf(values, columns.organization, organization) ||
            !TextOf(values, columns.phones, phones) || !TextOf(values, columns.emails, emails))
          return;
        SearchWitness witness;
        if (!MakeWitness(first, last, middle, organization, phones, emails, record.rowid,
                         witness))
          return;
        if (!seen.insert(WitnessHash()(witness)).second) return;
        bytes += witness.phones.size() + witness.emails.size();
        for (const std::string& name : witness.names) bytes += name.size();
        evidence.witnesses.push_back(std::move(witness));
      },
      progress);
  return evidence;
}

}  // namespace quarrow
