// The csv and jsonl person lines written straight from a match must be, byte
// for byte, what the cell-based report writes for the person row of the same
// match, with label cells and details added or not: on real SQLite records
// holding every serial type and the texts each format must take care of,
// through the built-in column list and through lists whose columns fill
// report columns of another kind.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/contacts_report.h"
#include "contacts_report_rows.h"
#include "contacts/contacts_scan.h"
#include "contacts/contacts_schema.h"
#include "contacts/person_line_writer.h"
#include "contacts/person_pass.h"
#include "contacts/person_row_writer.h"
#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/scan.h"
#include "fixtures/sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::SqliteDb;
using fixtures::SqlParam;
using fixtures::TempDir;

// Texts each format tells apart: quotes, backslashes, commas, control bytes
// (rendered as spaces), spaces at either end, invalid and valid UTF-8, "null",
// decimal look-alikes, empty, and lengths past a block and a 64-byte word.
const std::vector<std::string>& Texts() {
  static const std::vector<std::string> texts = {
      "", "null", "0", "-12", "007", "12345678901234567890", "Ann", " lead", "trail ", " ",
      "a,b", "say \"hi\"", "\"858431\"", "back\\slash", "ctl\x01x", "cr\rlf\n", "tab\there",
      "M\xC3\xBC" "ller", "bad\xFF", "\xC3", "ok\xE2\x82\xAC", "\xE2\x82", "{\"k\":1}",
      std::string(17, 'w'), std::string(70, 'L') + ",", std::string(65, '"'),
      "caf\xC3\xA9 \"au\" lait\\" + std::string(40, 'x') + "\xF0\x9F\x98\x80\xF0\x9F"};
  return texts;
}

// A value for a column of SQL type `type` ("" for none, "NONE" for one that
// holds NULL only): mostly of its type, NULL at times; a typeless column gets
// anything. Texts are bound as they are, invalid UTF-8 included.
SqlParam RandomValue(std::string_view type, std::mt19937& random) {
  const std::vector<std::string>& texts = Texts();
  const int pick = static_cast<int>(random() % 10);
  if (pick == 0 || type == "NONE") return SqlParam::Null();
  if (type == "TEXT" || (type.empty() && pick < 4)) return SqlParam(texts[random() % texts.size()]);
  if (type == "BLOB" || (type.empty() && pick == 4))
    return SqlParam::Blob(std::string(random() % 70, '\x07'));
  if (type.empty() && pick == 5) return SqlParam(-2.5e-7);
  // Integers of every stored size (0 and 1 have none), doubles at times.
  static constexpr std::array<int64_t, 11> kIntegers = {
      0, 1, -1, 127, -300, 70000, -8000000, 2147483647, 140737488355327, -9007199254740993,
      INT64_MIN};
  if (pick == 9) return SqlParam(1.5 * static_cast<double>(random() % 1000));
  return SqlParam(kIntegers[random() % kIntegers.size()]);
}

// An address book whose person table has `types` (one SQL type per column
// after the rowid) and `rows` rows of random values; a third of them deleted
// with secure_delete off, so that freed records are found too.
std::string BookBytes(const std::vector<std::string>& types, int rows, uint32_t seed) {
  TempDir dir;
  const std::string path = dir.File("book.db");
  {
    SqliteDb db(path);
    std::string ddl = "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT";
    std::string insert = "INSERT INTO ABPerson VALUES (NULL";
    for (size_t k = 0; k < types.size(); ++k) {
      ddl += ", c" + std::to_string(k) + " " + (types[k] == "NONE" ? "" : types[k]);
      insert += ", ?";
    }
    db.Exec(ddl + ")");
    std::mt19937 random(seed);
    db.Exec("BEGIN");
    for (int row = 0; row < rows; ++row) {
      std::vector<SqlParam> params;
      for (const std::string& type : types) params.push_back(RandomValue(type, random));
      db.Run(insert + ")", params);
    }
    db.Exec("COMMIT");
    db.Exec("DELETE FROM ABPerson WHERE ROWID % 3 = 0");
  }
  return fixtures::ReadFile(path);
}

// What a scan found: each match's lines as the cell-based report writes them
// and as PersonLineWriter writes them, without and with label cells.
struct Compared {
  int lines = 0;
  int unfit = 0;  // matches whose line the writer left to the caller
};

// Where two lines part, with what each holds there; empty when they agree.
std::string Difference(std::string_view direct, std::string_view expected) {
  if (direct == expected) return "";
  size_t at = 0;
  while (at < direct.size() && at < expected.size() && direct[at] == expected[at]) ++at;
  const size_t from = at < 60 ? 0 : at - 60;
  return "at " + std::to_string(at) + ": direct ..." + std::string(direct.substr(from, 120)) +
         "\nexpected ..." + std::string(expected.substr(from, 120));
}

// The cell-based report of one worker: made on first use, not copied.
struct LazyReport {
  LazyReport() = default;
  LazyReport(const LazyReport&) {}
  std::optional<ContactsFormattedReport> made;
};

Compared CompareLines(const std::string& bytes, const ColumnList& columns,
                      const std::vector<int>& person_cells, ReportFormat format,
                      bool details = false) {
  const std::vector<std::string> names = testing::ContactsReportNames();
  RunOptions options;
  options.format = format;
  options.details = details;
  const Buffer buffer = Buffer::FromBytes(bytes);
  ScanParams params = ContactsScanParams(3, nullptr);
  params.threads = 2;
  params.render_nothing = true;
  Compared compared;
  ScanFormatted(
      buffer, columns, params,
      [&, report = LazyReport(), rows = PersonRowWriter(person_cells, columns),
       direct = PersonLineWriter(options, names, person_cells, columns)](
          const Match& match, const ColumnList& found, std::string& out) mutable {
        // Each worker's copies: the expected lines, then the direct ones,
        // NUL-separated for the calling thread to compare.
        if (!report.made) report.made.emplace(options, names);
        std::string row;
        rows.Append(match, found, row);
        const int64_t offset = match.position + 7;
        // Labels of every kind, on some rows only, as ids' first rows have them.
        std::vector<std::string_view> labels;
        for (size_t k = 0; k < LabelNames.size(); ++k)
          labels.push_back(Texts()[(match.position + 3 * k) % Texts().size()]);
        // Statuses and states as the page map and the live rows name them, and
        // ones they never give, whose bytes need escapes and replacing (in
        // either or both).
        static const std::array<std::string, 4> kStatuses = {"live", "wal:12", "freeblock",
                                                             "st\"a\xFF"};
        static const std::array<std::string, 3> kStates = {"prior", "unknown", "s\\t\xFE"};
        const std::string_view status =
            details ? std::string_view(kStatuses[match.position % 4]) : std::string_view();
        const std::string_view state =
            details ? std::string_view(kStates[match.position % 3]) : std::string_view();
        out += report.made->Row(row, {}, offset, status, state);
        out += '\0';
        out += report.made->Row(row, labels, offset, status, state);
        out += '\0';
        // Written where the person pass writes it: at the end of the page's
        // bulk, after the page's lines before it.
        LineBuffer& bulk = *match.bulk;
        const size_t start = bulk.size();
        const std::optional<size_t> labels_at = direct.Append(match, found, offset, bulk);
        if (!labels_at) return true;  // compared as unfit
        const std::string line(bulk.view().substr(start));
        const std::string labelled(direct.WithLabels(line, *labels_at, labels));
        out += details ? direct.WithDetails(line, offset, status, state) : line;
        out += '\0';
        out += details ? direct.WithDetails(labelled, offset, status, state) : labelled;
        return true;
      },
      [&](int64_t, std::string_view formatted) {
        std::vector<std::string_view> parts;
        for (size_t from = 0;;) {
          const size_t end = formatted.find('\0', from);
          parts.push_back(formatted.substr(from, end - from));
          if (end == std::string_view::npos) break;
          from = end + 1;
        }
        if (parts.size() == 2 || parts.size() == 3) {  // no direct line
          ++compared.unfit;
          return;
        }
        ASSERT_EQ(parts.size(), 4u);
        EXPECT_EQ(Difference(parts[2], parts[0]), "");
        EXPECT_EQ(Difference(parts[3], parts[1]), "") << "with labels";
        ++compared.lines;
      });
  return compared;
}

// The built-in list's SQL types, column by column after the rowid.
std::vector<std::string> BuiltInTypes(const ColumnList& columns) {
  std::vector<std::string> types;
  for (size_t k = 1; k < columns.size(); ++k)
    types.push_back(columns[k].tp == kText      ? "TEXT"
                    : columns[k].tp == kInteger ? "INTEGER"
                    : columns[k].tp == kBlob    ? "BLOB"
                                                : "");
  return types;
}

TEST(PersonLineWriter, WritesWhatTheCellBasedReportWritesForTheBuiltInList) {
  const ColumnList columns = LoadColumns(SplitSchema(PersonSchema));
  const std::string bytes = BookBytes(BuiltInTypes(columns), 900, 11);
  const std::vector<int> cells = BuiltInContactsSchema().person_cells;
  for (ReportFormat format : {ReportFormat::kJsonl, ReportFormat::kCsv}) {
    for (bool details : {false, true}) {
      const Compared compared = CompareLines(bytes, columns, cells, format, details);
      // Most of the 600 live rows and many freed ones are found and compared.
      EXPECT_GT(compared.lines, 500) << details;
    }
  }
}

TEST(PersonLineWriter, WritesWhatTheCellBasedReportWritesWhenKindsDiffer) {
  // Typeless (ANY) columns hold every serial type; person cells send texts
  // into integer and suppressed report columns, integers into text ones,
  // and leave some cells fixed ("null", empty).
  std::vector<std::string> types, lines = {"ABPerson ROWID INTEGER"};
  const std::array<std::string, 5> kinds = {"", "TEXT", "INTEGER", "BLOB", ""};
  for (int k = 0; k < 28; ++k) {
    types.push_back(k == 27 ? "NONE" : kinds[k % kinds.size()]);
    const std::string& type = types.back();
    lines.push_back("c" + std::to_string(k) + " " +
                    (type.empty() ? "ANY" : type == "NONE" ? "" : type));
  }
  const ColumnList columns = LoadColumns(lines);
  const std::string bytes = BookBytes(types, 700, 12);
  std::mt19937 random(5);
  for (int round = 0; round < 3; ++round) {
    std::vector<int> cells;
    for (int k = 0; k < kPersonColumnsKept; ++k) {
      const int pick = static_cast<int>(random() % 12);
      cells.push_back(pick == 0   ? ContactsSchema::kNullCell
                      : pick == 1 ? ContactsSchema::kEmptyCell
                                  : static_cast<int>(random() % columns.size()));
    }
    std::string listed;
    for (int cell : cells) listed += std::to_string(cell) + " ";
    SCOPED_TRACE(listed);
    for (ReportFormat format : {ReportFormat::kJsonl, ReportFormat::kCsv}) {
      const Compared compared = CompareLines(bytes, columns, cells, format, round == 1);
      EXPECT_GT(compared.lines, 400) << round;
    }
  }
}

TEST(PersonLineWriter, LeavesRowsThatAreNotPersonRowsToTheCaller) {
  // A list that fills fewer report cells than a person row's: the line would
  // put the label cells elsewhere, so the writer declines every match.
  const ColumnList columns = LoadColumns(SplitSchema(PersonSchema));
  const std::string bytes = BookBytes(BuiltInTypes(columns), 60, 13);
  std::vector<int> cells = BuiltInContactsSchema().person_cells;
  cells.pop_back();
  const Compared compared = CompareLines(bytes, columns, cells, ReportFormat::kJsonl);
  EXPECT_EQ(compared.lines, 0);
  EXPECT_GT(compared.unfit, 30);
}

}  // namespace
}  // namespace quarrow
