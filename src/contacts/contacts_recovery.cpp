#include "contacts/contacts_recovery.h"

#include <algorithm>
#include <filesystem>

#include "contacts/contacts_parts.h"
#include "contacts/contacts_report.h"
#include "contacts/contacts_scan_result.h"
#include "contacts/multi_value_pass.h"
#include "contacts/person_pass.h"
#include "contacts/contacts_scan.h"
#include "contacts/contacts_schema.h"
#include "contacts/label_cells.h"
#include "contacts/report_writer.h"
#include "contacts/value_links.h"
#include "engine/file_io.h"
#include "schema/table_definitions.h"
#include "text_rule/error.h"

namespace quarrow {

namespace {

// The report's 46 column names, as the table's header row holds them.
std::vector<std::string> ReportColumnNames(ResultTable& table) {
  table.Reset();
  const ColumnList person = LoadColumns(SplitSchema(PersonSchema));
  for (int k = 0; k < kPersonColumnsKept; ++k)
    table.SetCell(0, kFirstPersonColumn + k, person[k].name);
  NameReportColumns(table);
  std::vector<std::string> names;
  for (int col = 0; col < kReportColumns; ++col) names.emplace_back(table.Cell(0, col));
  return names;
}

// Every pass reads the whole input; the sink sees them as one run of
// `passes` times its length, so its progress never goes backwards.
class PassProgress : public ProgressSink {
 public:
  PassProgress(ProgressSink* sink, int pass, int passes)
      : sink_(sink), pass_(pass), passes_(passes) {}
  bool Update(int64_t done, int64_t total) override {
    return sink_->Update(pass_ * total + done, passes_ * total);
  }

 private:
  ProgressSink* sink_;
  int64_t pass_;
  int64_t passes_;
};

// The definitions and labels to recover with. Carving them out of raw bytes
// is a pass of its own; reading them from a database costs next to nothing.
InputSchema ContactsInputSchema(const std::string& input_path,
                                const std::string& schema_from, ProgressSink* progress,
                                bool& carved) {
  const std::string& source = schema_from.empty() ? input_path : schema_from;
  PassProgress carve_progress(progress, 0, 3);
  InputSchema schema = ReadInputSchema(source, progress ? &carve_progress : nullptr);
  carved = schema.source != InputSchema::Source::kDatabase;
  if (carved && progress != nullptr && !progress->Update(1, 3)) throw Error(kContactsCancelled);
  return schema;
}

}  // namespace

int64_t RecoverContacts(const std::string& input_path, const std::string& offset_text,
                        const std::string& output_path, DdlEditor& editor,
                        OutputView& view, ResultTable& table, ProgressSink* progress,
                        const RunOptions& options) {
  RequireOutputPath(output_path);
  bool carved = false;
  // The input is opened first, so that its own error comes before any other.
  { InputFile input(input_path); }
  // The report is written last: the same file as the input would be the
  // evidence truncated and replaced by it.
  RefuseOverwritingInput(input_path, output_path);
  const InputSchema input_schema =
      ContactsInputSchema(input_path, options.schema_from, progress, carved);
  const ContactsSchema schema = ChooseContactsSchema(input_schema);
  // The search index's records are carved in a pass of their own, where the
  // input defines the table.
  const bool search_index = input_schema.Table(std::string(kSearchContentTable)).has_value();
  const int first_pass = carved ? 1 : 0;
  const int passes = first_pass + 2 + (search_index ? 1 : 0);
  // The scan for copies of person records shares the values' pass.
  PassProgress multi_value_progress(progress, first_pass, passes);
  PassProgress search_progress(progress, first_pass + 1, passes);
  PassProgress person_progress(progress, passes - 1, passes);
  Buffer buffer = LoadContactsBuffer(input_path, offset_text);
  buffer.LimitCandidatesToInput(options.range_first, options.range_end);

  // Values first, into cells small enough to hold whatever the input's size;
  // then person rows stream to the report, each first row of an id taking its
  // values, as the report of a table filled the other way round reads.
  MatchStatus status(input_path, buffer, options);
  // What each record is (live, prior, deleted): judged only when asked for.
  const std::unique_ptr<RecordStates> states = RecordStates::ForInput(input_path, options);
  ContactsScanResult scan;
  // Whole copies of the person records, where a freed one takes its rowid
  // back: found while the values are, as a copy may lie after the record it
  // proves.
  RecordCopies copies;
  const ScanLane copies_lane = PersonCopiesLane(schema, copies);
  if (!FileMultiValues(buffer, schema, editor, scan.labels, status, *states, scan.value_origins,
                       progress ? &multi_value_progress : nullptr, options.threads, &copies_lane))
    throw Error(kContactsCancelled);
  copies.Seal();
  if (search_index) {
    scan.search = CarveSearchEvidence(input_path, input_schema, options.threads,
                                      progress ? &search_progress : nullptr);
    if (progress != nullptr && !progress->Update(passes - 1, passes)) throw Error(kContactsCancelled);
  }
  const ValueLinks links = ValueLinks::Resolve(scan.search, scan.labels);
  view.Clear();
  ContactsReportWriter writer(output_path, options, ReportColumnNames(table));
  const bool finished =
      StreamPersonRows(buffer, schema, editor, scan.labels, writer, status, *states,
                       scan.value_origins, links, copies, options.deleted_only,
                       progress ? &person_progress : nullptr,
                       options.threads);
  writer.Close();
  // The editor ends with the multi-value lines, as when values were filed last.
  ReplaceEditorLines(editor, schema.multi_value_lines);
  if (!finished) {
    throw Error("Contacts recovery was cancelled: the report \"" + FullPath(output_path) +
                "\" holds the " + std::to_string(writer.rows()) +
                " rows found before that, and is incomplete");
  }
  view.LoadFile(output_path);
  return writer.rows();
}

int64_t RecoverContactsPart(const std::string& input_path, const std::string& offset_text,
                            const std::string& part_path, DdlEditor& editor,
                            ProgressSink* progress, const RunOptions& options) {
  RequireOutputPath(part_path);
  if (part_path == "-") throw Error("A part is written to a file, not to standard output");
  int64_t input_size = 0;
  {
    InputFile input(input_path);
    input_size = input.size();
  }
  RefuseOverwritingInput(input_path, part_path);
  bool carved = false;
  const InputSchema input_schema =
      ContactsInputSchema(input_path, options.schema_from, progress, carved);
  const ContactsSchema schema = ChooseContactsSchema(input_schema);
  const bool search_index = input_schema.Table(std::string(kSearchContentTable)).has_value();
  Buffer buffer = LoadContactsBuffer(input_path, offset_text);
  buffer.LimitCandidatesToInput(options.range_first, options.range_end);
  MatchStatus status(input_path, buffer, options);
  const std::unique_ptr<RecordStates> states = RecordStates::ForInput(input_path, options);

  ContactsPartHead head;
  head.program = QUARROW_VERSION;
  head.input_size = input_size;
  head.fingerprint = InputFingerprint(input_path);
  head.settings = ContactsPartSettings(std::to_string(buffer.start_offset()), options,
                                      status.enabled(), states->enabled());
  head.first = std::clamp<int64_t>(options.range_first, 0, input_size);
  head.end = std::clamp<int64_t>(options.range_end, head.first, input_size);
  // The search index's records come from the whole input: one part carries them.
  head.carries_search = head.first == 0;
  ContactsPartWriter part(part_path, head);
  // Every value as filed, in input order, straight to the part.
  ContactsScanResult scan;
  const int64_t start_offset = buffer.start_offset();
  scan.labels.set_recorder([&part, start_offset](int id, int column, std::string_view raw,
                                                 int64_t position) {
    part.Value(start_offset + position, id, column, raw);
  });
  const int first_pass = carved ? 1 : 0, passes = first_pass + 2;
  PassProgress multi_value_progress(progress, first_pass, passes);
  PassProgress person_progress(progress, first_pass + 1, passes);
  // The whole copies among the part's person records, found while the values
  // are: the merge gathers every part's before it places a value.
  RecordCopies copies;
  const ScanLane copies_lane = PersonCopiesLane(schema, copies);
  if (!FileMultiValues(buffer, schema, editor, scan.labels, status, *states, scan.value_origins,
                       progress ? &multi_value_progress : nullptr, options.threads, &copies_lane))
    throw Error(kContactsCancelled);
  copies.Seal();
  for (int id : scan.labels.ids_in_order()) part.Origin(id, scan.value_origins[id]);
  if (head.carries_search) {
    part.Search(search_index ? CarveSearchEvidence(input_path, input_schema, options.threads)
                             : SearchEvidence());
  }
  part.Copies(copies);
  // The person pass hands its records over unplaced; the writer it needs is
  // asked only how lines are made, and what it writes is dropped.
  RunOptions row_options = options;
  row_options.format = ReportFormat::kTsv;
  row_options.details = true;
  const std::filesystem::path target(part_path);
  const std::string scratch =
      (target.parent_path() / ("." + target.filename().string() + ".rows")).string();
  bool finished = false;
  int64_t persons = 0;
  try {
    ContactsReportWriter writer(scratch, row_options, {});
    PartPerson person;
    finished = StreamPersonRows(
        buffer, schema, editor, scan.labels, writer, status, *states, scan.value_origins,
        ValueLinks(), RecordCopies(), options.deleted_only, progress ? &person_progress : nullptr,
        options.threads, [&](const FoundPerson& found) {
          person.offset = found.offset;
          person.row = found.row;
          person.proven_id = found.proven_id;
          person.names = found.proven_id == 0 ? *found.names : PersonNames();
          person.copy_key = found.copy_key;
          person.where = found.where;
          person.state = found.state;
          person.kept = found.kept;
          part.Person(person);
          ++persons;
        });
    writer.Close();
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(scratch, ignored);
    throw;
  }
  std::error_code ignored;
  std::filesystem::remove(scratch, ignored);
  ReplaceEditorLines(editor, schema.multi_value_lines);
  if (!finished) throw Error(kContactsCancelled);
  part.Finish();
  return persons;
}

int64_t MergeContactsParts(const std::vector<std::string>& part_paths,
                           const std::string& output_path, bool to_part,
                           const RunOptions& options) {
  RequireOutputPath(output_path);
  for (const std::string& path : part_paths) RefuseOverwritingInput(path, output_path);
  ResultTable table;
  return MergeParts(part_paths, output_path, to_part, options, ReportColumnNames(table));
}

}  // namespace quarrow
