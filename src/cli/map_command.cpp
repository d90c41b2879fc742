#include "cli/map_command.h"

#include <optional>

#include "contacts/contacts_scan.h"
#include "contacts/contacts_schema.h"
#include "contacts/multi_value_pass.h"
#include "contacts/person_pass.h"
#include "engine/file_io.h"
#include "pagemap/match_status.h"
#include "report/evidence_map.h"
#include "schema/table_definitions.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

constexpr const char* kMapCancelled = "The map was cancelled. No picture was written.";

// The run's three reads of the input (the layout's, then the two passes') as
// one run of three times its length, so that progress never goes backwards.
class PhaseProgress : public ProgressSink {
 public:
  PhaseProgress(ProgressSink* sink, int phase) : sink_(sink), phase_(phase) {}
  bool Update(int64_t done, int64_t total) override {
    return sink_ == nullptr || sink_->Update(phase_ * total + done, 3 * total);
  }

 private:
  ProgressSink* sink_;
  int64_t phase_;
};

// Marks every match of the two contacts passes: the multi-value records its
// filing keeps, then every person record.
void AddContactsRecords(const MapRequest& request, EvidenceMapBuilder& builder,
                        ProgressSink* progress) {
  const ContactsSchema schema = ChooseContactsSchema(ReadInputSchema(request.input_path));
  const Buffer buffer = LoadContactsBuffer(request.input_path, "0");
  RunOptions options;
  options.details = true;  // the statuses come from the page map
  MatchStatus status(request.input_path, buffer, options);
  const auto mark = [&](int64_t position, std::string_view) {
    builder.AddRecord(status.Offset(position), StateOfStatus(status.At(position)));
  };

  PhaseProgress values_progress(progress, 1);
  ScanParams params = ContactsScanParams(0, &values_progress);
  params.header_filter = MayBeValidMultiValue;
  params.render_nothing = true;
  params.threads = request.threads;
  status.Attach(params);
  if (!ScanFormatted(buffer, LoadColumns(schema.multi_value_lines), params,
                     [&schema](const Match& match, const ColumnList& found, std::string& out) {
                       return FormatMultiValueFromMatch(match, found, schema, out);
                     },
                     mark))
    throw Error(kMapCancelled);

  PhaseProgress persons_progress(progress, 2);
  params = ContactsScanParams(0, &persons_progress);
  params.render_nothing = true;
  params.threads = request.threads;
  status.Attach(params);
  if (!ScanFormatted(buffer, LoadColumns(schema.person_lines), params,
                     [](const Match&, const ColumnList&, std::string&) { return true; }, mark))
    throw Error(kMapCancelled);
}

}  // namespace

MapOutcome DrawEvidenceMap(const MapRequest& request, ProgressSink* progress) {
  RequireOutputPath(request.output_path);
  { InputFile input(request.input_path); }  // its own error comes first
  RefuseOverwritingInput(request.input_path, request.output_path);
  // Opened before the input is read, so that a picture that cannot be
  // written fails at once, naming its path.
  OutputFile output(request.output_path);

  PhaseProgress layout_progress(progress, 0);
  EvidenceMapBuilder builder = StartEvidenceMap(
      request.input_path, request.input_name, request.command,
      [&layout_progress](int64_t done, int64_t total) { return layout_progress.Update(done, total); },
      kMapCancelled);
  AddContactsRecords(request, builder, progress);
  const EvidenceMap map = builder.Finish();

  output.Write(EvidenceSvg(map));
  output.Close();
  MapOutcome outcome;
  for (int64_t count : map.records) outcome.records += count;
  outcome.cells = static_cast<int64_t>(map.cells.size());
  return outcome;
}

}  // namespace quarrow
