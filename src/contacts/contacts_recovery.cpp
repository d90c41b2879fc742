#include "contacts/contacts_recovery.h"

#include "contacts/contacts_report.h"
#include "contacts/multi_value_pass.h"
#include "contacts/person_pass.h"
#include "contacts/contacts_scan.h"
#include "contacts/contacts_schema.h"
#include "contacts/label_cells.h"
#include "contacts/report_writer.h"
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
  const ContactsSchema schema =
      ChooseContactsSchema(ContactsInputSchema(input_path, options.schema_from, progress, carved));
  const int first_pass = carved ? 1 : 0, passes = carved ? 3 : 2;
  PassProgress multi_value_progress(progress, first_pass, passes);
  PassProgress person_progress(progress, first_pass + 1, passes);
  Buffer buffer = LoadContactsBuffer(input_path, offset_text);
  buffer.LimitCandidatesToInput(options.range_first, options.range_end);

  // Values first, into cells small enough to hold whatever the input's size;
  // then person rows stream to the report, each first row of an id taking its
  // values, as the report of a table filled the other way round reads.
  MatchStatus status(input_path, buffer, options);
  // What each record is (live, prior, deleted): judged only when asked for.
  const std::unique_ptr<RecordStates> states = RecordStates::ForInput(input_path, options);
  LabelCells labels;
  std::vector<ValueOrigin> value_origins;
  if (!FileMultiValues(buffer, schema, editor, labels, status, *states, value_origins,
                       progress ? &multi_value_progress : nullptr, options.threads))
    throw Error(kContactsCancelled);
  view.Clear();
  ContactsReportWriter writer(output_path, options, ReportColumnNames(table));
  const bool finished =
      StreamPersonRows(buffer, schema, editor, labels, writer, status, *states, value_origins,
                       options.deleted_only, progress ? &person_progress : nullptr,
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

}  // namespace quarrow
