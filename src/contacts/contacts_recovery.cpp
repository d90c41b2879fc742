#include "contacts/contacts_recovery.h"

#include "contacts/contacts_report.h"
#include "contacts/multi_value_pass.h"
#include "contacts/person_pass.h"
#include "engine/file_io.h"

namespace quarrow {

namespace {

// Both passes scan the whole buffer; the sink sees them as one run of twice
// the buffer's length, so its progress never goes backwards.
class PassProgress : public ProgressSink {
 public:
  PassProgress(ProgressSink* sink, int pass) : sink_(sink), pass_(pass) {}
  bool Update(int64_t done, int64_t total) override {
    return sink_->Update(pass_ * total + done, kPasses * total);
  }

 private:
  static constexpr int64_t kPasses = 2;
  ProgressSink* sink_;
  int64_t pass_;
};

}  // namespace

void RecoverContacts(const std::string& input_path, const std::string& offset_text,
                     const std::string& output_path, DdlEditor& editor,
                     OutputView& view, ResultTable& table, ProgressSink* progress,
                     [[maybe_unused]] const RunOptions& options) {
  RequireOutputPath(output_path);
  PassProgress person_progress(progress, 0);
  PassProgress multi_value_progress(progress, 1);
  Buffer buffer = PersonPass(input_path, offset_text, editor, table,
                             progress ? &person_progress : nullptr);
  MultiValuePass(buffer, editor, table, progress ? &multi_value_progress : nullptr);
  WriteContactsReport(table, output_path, view);
}

}  // namespace quarrow
