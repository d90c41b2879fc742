#include "contacts/contacts_recovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "contacts/contacts_report.h"
#include "contacts/multi_value_pass.h"
#include "contacts/person_pass.h"
#include "contacts/result_table.h"
#include "engine/columns.h"
#include "engine/scan.h"
#include "sqlite_fixture.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::SqliteDb;
using fixtures::TempDir;
using ::testing::HasSubstr;

// ---- helpers -------------------------------------------------------------

class RecordingView : public OutputView {
 public:
  void Clear() override { ++clears; }
  void AppendLine(std::string_view) override {}
  void LoadFile(const std::string& path) override { loaded = ReadFile(path); }
  int clears = 0;
  std::string loaded;
};

class CancelAt : public ProgressSink {
 public:
  explicit CancelAt(int64_t limit) : limit_(limit) {}
  bool Update(int64_t done, int64_t total) override {
    calls.push_back({done, total});
    return done < limit_;
  }
  std::vector<std::pair<int64_t, int64_t>> calls;

 private:
  int64_t limit_;
};

// Record images built by hand, encoded as SQLite encodes them.
struct Field {
  int serial;
  std::string body;
};
Field Int(int64_t v) {
  if (v == 0 || v == 1) return {8 + static_cast<int>(v), ""};
  int bytes = v < 128 ? 1 : v < 32768 ? 2 : 4;
  std::string body;
  for (int i = bytes - 1; i >= 0; --i) body.push_back(static_cast<char>(v >> (8 * i)));
  return {bytes, body};
}
Field Text(std::string_view s) { return {13 + 2 * static_cast<int>(s.size()), std::string(s)}; }

// A table cell: payload length, rowid, header length, serial types, bodies
// (every length below 128, so each varint is one byte).
std::string Cell(int rowid, const std::vector<Field>& fields) {
  std::string header(1, static_cast<char>(fields.size() + 1)), body;
  for (const Field& f : fields) {
    header.push_back(static_cast<char>(f.serial));
    body += f.body;
  }
  std::string record = header + body;
  return std::string(1, static_cast<char>(record.size())) +
         static_cast<char>(rowid) + record;
}
std::string ValueCell(int uid, int64_t record_id, int property, int label,
                      std::string_view value) {
  return Cell(uid, {{0, ""}, Int(record_id), Int(property), Int(0), Int(label), Text(value)});
}

// The multi-value list's columns with record id, property, label and value.
ColumnList MultiValue(std::string id, std::string property, std::string label,
                      std::string value) {
  ColumnList columns = LoadColumns(SplitSchema(MultiValueSchema));
  columns[kRecordIdColumn].value = std::move(id);
  columns[kPropertyColumn].value = std::move(property);
  columns[kLabelColumn].value = std::move(label);
  columns[kValueColumn].value = std::move(value);
  return columns;
}

// A report split into lines and fields; checks the framing of every line.
std::vector<std::vector<std::string>> ParseReport(std::string report) {
  EXPECT_EQ(report.substr(0, 3), "\xEF\xBB\xBF");
  report.erase(0, 3);
  std::vector<std::vector<std::string>> rows;
  for (size_t end; (end = report.find("\r\n")) != std::string::npos;) {
    std::string line = report.substr(0, end);
    report.erase(0, end + 2);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), kReportColumns) << line;
    std::vector<std::string> fields;
    for (size_t tab; (tab = line.find('\t')) != std::string::npos; line.erase(0, tab + 1))
      fields.push_back(line.substr(0, tab));
    EXPECT_EQ(line, "");
    rows.push_back(fields);
  }
  EXPECT_EQ(report, "") << "bytes after the last CR LF";
  return rows;
}

std::vector<std::vector<std::string>> RowsWithId(
    const std::vector<std::vector<std::string>>& rows, const std::string& id) {
  std::vector<std::vector<std::string>> found;
  for (size_t r = 1; r < rows.size(); ++r)
    if (rows[r][1] == id) found.push_back(rows[r]);
  return found;
}

// An address book whose tables are the two schemas (without the "*" marks).
void CreateAddressBook(SqliteDb& db) {
  std::string person(PersonSchema);
  std::erase(person, '*');
  person.back() = ')';
  person.insert(person.find(' '), " (");
  db.Exec("CREATE TABLE " + person + ";CREATE TABLE " + std::string(MultiValueSchema));
}
void AddPerson(SqliteDb& db, int rowid, const char* first, const char* last,
               const char* image_uri = nullptr) {
  db.Run("INSERT INTO ABPerson (ROWID, First, Last, CreationDate, ImageURI) "
         "VALUES (?, ?, ?, 700000000, ?)",
         {rowid, first, last, image_uri ? fixtures::SqlParam(image_uri) : fixtures::SqlParam()});
}
void AddValue(SqliteDb& db, int record_id, int property, int label, const char* value) {
  db.Run("INSERT INTO ABMultiValue (record_id, property, identifier, label, value) "
         "VALUES (?, ?, 0, ?, ?)",
         {record_id, property, label, value});
}
struct Recovered {
  std::vector<std::vector<std::string>> rows;
  LinesEditor editor{{"stale line"}};
  RecordingView view;
  ResultTable table;
};
std::unique_ptr<Recovered> Recover(const std::string& input, const std::string& output) {
  auto result = std::make_unique<Recovered>();
  RecoverContacts(input, "0", output, result->editor, result->view, result->table);
  result->rows = ParseReport(ReadFile(output));
  return result;
}

// ---- the result table ----------------------------------------------------

TEST(ResultTableTest, CellsKeepTheirBytesWhenNeighboursChange) {
  ResultTable table;
  int64_t row = table.AddRow();
  table.SetCell(row, 5, "abc");
  table.SetCell(row, 2, "xy");
  table.SetCell(row, 49, "last");
  table.SetCell(row, 5, "");
  table.SetCell(row, 2, std::string("\0z", 2));
  EXPECT_EQ(table.Cell(row, 2), std::string_view("\0z", 2));
  EXPECT_EQ(table.Cell(row, 5), "");
  EXPECT_EQ(table.Cell(row, 49), "last");
  EXPECT_EQ(table.Cell(row, 48), "");
  EXPECT_THROW(table.Cell(row, 50), std::out_of_range);
  EXPECT_THROW(table.SetCell(row + 1, 0, "x"), std::out_of_range);
  // A TAB would split the cell in the report: refused, nothing changes.
  EXPECT_THROW(table.SetCell(row, 3, "a\tb"), std::invalid_argument);
  EXPECT_EQ(table.Cell(row, 3), "");
  // Rows given whole, and views that outlive later changes and new rows.
  const std::string_view cells = "1\t42\t\tx y";
  int64_t whole = table.AddRowText(cells);
  std::string_view kept = table.Cell(whole, 3);
  table.SetCell(whole, 3, "changed");
  for (int i = 0; i < 20000; ++i) table.AddRowText(cells);
  EXPECT_THROW(table.AddRowText(std::string(50, '\t')), std::invalid_argument);
  EXPECT_EQ(kept, "x y");
  EXPECT_EQ(table.Cell(whole, 1), "42");
  EXPECT_EQ(table.Cell(whole, 3), "changed");
  EXPECT_EQ(table.Cell(whole, 4), "");
  EXPECT_EQ(table.FindRowById("42"), whole);
  std::string line;
  table.AppendCells(whole, 46, line);
  EXPECT_EQ(line, "1\t42\t\tchanged" + std::string(43, '\t'));
  table.Reset();
  EXPECT_EQ(table.LastRow(), 0);
  EXPECT_EQ(table.FindRowById(""), -1);
}

TEST(ResultTableTest, FindRowByIdReturnsTheFirstRowWithThatIdAtAnySize) {
  ResultTable table;
  table.SetCell(0, ResultTable::kIdColumn, "7");  // the header row is never a match
  EXPECT_EQ(table.FindRowById("7"), -1);
  // Far past the 2499 rows a fixed table would hold; ids repeat every 1000 rows.
  for (int r = 1; r <= 200000; ++r)
    table.SetCell(table.AddRow(), ResultTable::kIdColumn, std::to_string(r % 1000));
  EXPECT_EQ(table.LastRow(), 200000);
  EXPECT_EQ(table.FindRowById("7"), 7);
  EXPECT_EQ(table.FindRowById("0"), 1000);
  EXPECT_EQ(table.FindRowById("07"), -1);
  // When the first row's id changes, the next row holding it takes its place.
  table.SetCell(7, ResultTable::kIdColumn, "x");
  EXPECT_EQ(table.FindRowById("7"), 1007);
  EXPECT_EQ(table.FindRowById("x"), 7);
  table.SetCell(3, ResultTable::kIdColumn, "x");
  EXPECT_EQ(table.FindRowById("x"), 3);
  // A row whose id was never set carries the empty id.
  int64_t blank = table.AddRow();
  EXPECT_EQ(table.FindRowById(""), blank);
}

// ---- plausibility, labels, merging ------------------------------------------

TEST(MultiValueTest, ValueCharsHoldsTheAllowedBytesOnly) {
  EXPECT_EQ(std::count(ValueChars.begin(), ValueChars.end(), true), 134);
  for (unsigned char c : std::string_view(",;:/#*'\"\x7F\x80\xBF\t"))
    EXPECT_FALSE(ValueChars[c]) << int(c);
}

TEST(MultiValueTest, IsValidMultiValueKeepsOnlyPlausibleRecords) {
  struct Case {
    const char *id, *property, *value;
    bool valid;
  } cases[] = {
      {"7", "3", "+1 (555) 010-0199", true},
      {"7", "4", "anna.b_1@example.org", true},
      {"1", "1", "abc", true},
      {"999", "9", "abc", true},
      {"1000", "2", "abc", true},  // four-digit ids are checked against 1 to 2000
      {"2000", "2", "abc", true},
      {"2001", "2", "abc", false},
      {"10000", "2", "abc", false},
      {"0", "2", "abc", false},  // a NULL record id reads as "0"
      {"", "2", "abc", false},
      {"-5", "2", "abc", false},
      {"7.5", "2", "abc", false},  // a float's rendering is no id
      {"7", "0", "abc", false},
      {"7", "10", "abc", false},
      {"7", "nan", "abc", false},
      {"7", "3", "12", false},
      {"7", "3", "1,2", false},
      {"7", "3", "a/b", false},
      {"7", "3", "a;b", false},
      // Whole UTF-8 characters from U+00A0 on are value characters too.
      {"7", "3", "caf\xC3\xA9", true},
      {"7", "3", "555\xC2\xA0" "0101", true},         // no-break space
      {"7", "3", "M\xC3\xBCnchen \xF0\x9F\x98\x80", true},  // four-byte character
      {"7", "3", "abc\xC2\x85", false},        // U+0085, a control character
      {"7", "3", "ab\x80" "c", false},          // a lone continuation byte
      {"7", "3", "ab\xE2\x82", false},          // cut character
      {"7", "3", "ab\xED\xA0\x80", false},     // surrogate
      {"7", "3", "ab\xE0\x80\xAF", false},     // overlong form
      {"7", "3", "a\xC3\xA9/b", false},         // the ASCII set still holds
      {"7", "3", "\xC3\xD0\xFF", true},        // the single-byte rule still holds
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidMultiValue(MultiValue(c.id, c.property, "1", c.value)), c.valid)
        << c.id << " " << c.property << " " << c.value;
  }
}

TEST(MultiValueTest, HeaderCheckNeverDropsAPlausibleRecord) {
  // Bytes shaped like multi-value records of every kind: small integers of all
  // serial types, floats, NULLs and short texts of plausible characters.
  std::mt19937 random(11);
  std::string bytes;
  const uint8_t serials[] = {0, 1, 2, 7, 8, 9, 10, 17, 19, 21, 25};
  while (bytes.size() < 1000000) {
    bytes += '\x20';
    bytes += '\0';
    for (int k = 0; k < 5; ++k) bytes += static_cast<char>(serials[random() % 11]);
    for (int k = 0; k < 12; ++k) {
      uint32_t r = random() % 3;
      bytes += static_cast<char>(r == 0 ? random() % 10 : r == 1 ? 'a' + random() % 26 : random() % 256);
    }
  }
  ColumnList columns = LoadColumns(SplitSchema(MultiValueSchema));
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 0, nullptr);
  int plausible = 0, dropped = 0;
  ScanRecords(Buffer::FromBytes(bytes), columns, params,
              [&](const Match&, const ColumnList& found) {
                bool valid = IsValidMultiValue(found);
                plausible += valid;
                dropped += !MayBeValidMultiValue(found);
                EXPECT_TRUE(!valid || MayBeValidMultiValue(found));
              });
  EXPECT_GT(plausible, 50);   // the check was put to the test
  EXPECT_GT(dropped, 100);    // and it does drop records
}

TEST(MultiValueTest, LabelColumnFollowsLabelAndProperty) {
  struct Case {
    const char *label, *property;
    int column;
  } cases[] = {{"1", "3", 32}, {"6", "1", 37}, {"0", "3", 38}, {"7", "3", 38},
               {"", "3", 38},  {"-1", "3", 38}, {"4294967295", "3", 38},
               {"1", "4", 39}, {"6", "4", 44},  {"7", "4", 45}, {"nan", "4", 45}};
  for (const Case& c : cases)
    EXPECT_EQ(LabelColumn(c.label, c.property), c.column) << c.label << "/" << c.property;
}

TEST(MultiValueTest, MergeValueAddsWithCommaAndTwoSpacesWithoutRepeats) {
  ResultTable table;
  int64_t row = table.AddRow();
  MergeValue(table, row, 32, "  555 0101 ");
  EXPECT_EQ(table.Cell(row, 32), "555 0101");
  MergeValue(table, row, 32, "555 0102");
  MergeValue(table, row, 32, "555 0101");  // already there
  MergeValue(table, row, 32, "0102");      // part of a value already there
  EXPECT_EQ(table.Cell(row, 32), "555 0101,  555 0102");
  // A blank value never counts as already there: it leaves its separator.
  MergeValue(table, row, 32, "   ");
  EXPECT_EQ(table.Cell(row, 32), "555 0101,  555 0102,");
  MergeValue(table, row, 32, " 777 ");
  EXPECT_EQ(table.Cell(row, 32), "555 0101,  555 0102,,   777");
}

// ---- the passes over hand-made bytes -----------------------------------------

TEST(PersonPassTest, AddPersonRowLeavesTheLabelCellsToTheMultiValues) {
  ASSERT_EQ(PersonSchema.size(), 727u);
  ASSERT_EQ(MultiValueSchema.size(), 122u);
  ColumnList columns = LoadColumns(SplitSchema(PersonSchema));
  ASSERT_EQ(columns.size(), 34u);
  EXPECT_EQ(std::count_if(columns.begin(), columns.end(), [](const TERM& c) { return c.off; }), 11);
  for (TERM& column : columns) column.value = column.name + "!";
  ResultTable table;
  AddPersonRow(table, "34\t5\t29\t", columns);
  AddPersonRow(table, "\t\t29\t", columns);  // values before the buffer's start
  EXPECT_EQ(table.Cell(1, 0), "34");
  EXPECT_EQ(table.Cell(1, 1), "5");
  EXPECT_EQ(table.Cell(1, 2), "29");
  EXPECT_EQ(table.Cell(2, 1), "");
  EXPECT_EQ(table.Cell(2, 2), "29");
  EXPECT_EQ(table.Cell(1, 3), "ABPerson!");
  EXPECT_EQ(table.Cell(1, 17), "null");  // Prefix is suppressed
  EXPECT_EQ(table.Cell(1, 31), "null");  // LastSortSection
  // ImageURI and the other tail columns never reach MOBILE..WORK.
  for (int col = 32; col < ResultTable::kColumns; ++col) EXPECT_EQ(table.Cell(1, col), "");
}

TEST(MultiValuePassTest, FilesValuesInPositionOrderUnderTheFirstMatchingRow) {
  ResultTable table;
  for (const char* id : {"7", "7", "1"}) table.SetCell(table.AddRow(), 1, id);
  std::string bytes = "\x01\x02" + ValueCell(1, 7, 3, 1, "555 0101") +
                      ValueCell(2, 7, 3, 1, "555 0102") + ValueCell(3, 7, 4, 3, "a@b.org") +
                      ValueCell(4, 1, 3, 1, "555 0001") +   // id 1 and label 1: no content bytes
                      ValueCell(5, 42, 3, 2, "555 4242") + ValueCell(6, 42, 3, 9, "555 9999") +
                      ValueCell(7, 42, 3, 2, "12") + "\x01";
  LinesEditor editor;
  MultiValuePass(Buffer::FromBytes(bytes), editor, table);
  EXPECT_EQ(editor.lines(), SplitSchema(MultiValueSchema));
  EXPECT_EQ(table.Cell(1, 32), "555 0101,  555 0102");
  EXPECT_EQ(table.Cell(1, 41), "a@b.org");
  EXPECT_EQ(table.Cell(2, 32), "");  // the second row with id 7 gets nothing
  EXPECT_EQ(table.Cell(3, 32), "555 0001");
  ASSERT_EQ(table.LastRow(), 4);  // one new row for id 42
  EXPECT_EQ(table.Cell(4, 1), "42");
  EXPECT_EQ(table.Cell(4, 33), "555 4242");
  EXPECT_EQ(table.Cell(4, 38), "555 9999");
}

// ---- the report ---------------------------------------------------------------

TEST(ContactsReportTest, WritesTheHeaderAndEveryRowByteForByte) {
  TempDir dir;
  std::string empty_db = dir.File("empty.db"), out = dir.File("out.txt");
  fixtures::WriteFile(empty_db, "");
  fixtures::WriteFile(out, std::string(5000, 'x'));  // replaced, not appended to
  LinesEditor editor;
  RecordingView view;
  ResultTable table;
  RecoverContacts(empty_db, "0", out, editor, view, table);
  int64_t row = table.AddRow();
  table.SetCell(row, 1, "42");
  MergeValue(table, row, 33, "555 0100");
  MergeValue(table, row, 33, "555 0101");
  WriteContactsReport(table, out, view);

  const std::string header =
      "\xEF\xBB\xBFNUM_0\tNUM_1\tNUM_2\tABPerson\tFirst\tLast\tMiddle\tFirstPhonetic\t"
      "MiddlePhonetic\tLastPhonetic\tOrganization\tDepartment\tNote\tKind\tBirthday\t"
      "JobTitle\tNickname\tPrefix\tSuffix\tFirstSort\tLastSort\tCreationDate\t"
      "ModificationDate\tCompositeNameFallback\tExternalIdentifier\t"
      "ExternalModificationTag\tExternalUUID\tStoreID\tDisplayName\t"
      "ExternalRepresentation\tFirstSortSection\tLastSortSection\tMOBILE\tIPHONE\tHOME\t"
      "OTHER\tWORK\tWORKFAX\tUnknown\tEMAIL_MOBILE\tEMAIL_IPHONE\tEMAIL_HOME\t"
      "EMAIL_OTHER\tEMAIL_WORK\tEMAIL_WORKFAX\tEMAIL_Unknown\t\r\n";
  const std::string id_row =
      "\t42" + std::string(32, '\t') + "555 0100,  555 0101" + std::string(13, '\t') + "\r\n";
  EXPECT_EQ(ReadFile(out), header + id_row);
  EXPECT_EQ(view.loaded, header + id_row);
  EXPECT_EQ(view.clears, 2);
}

// ---- contacts recovery over real databases --------------------------------------

class RecoverContactsTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string db_path = dir.File("AddressBook.sqlitedb");
  std::string out = dir.File("report.txt");
};

TEST_F(RecoverContactsTest, DeletedPersonsComeBackWithTheirValuesUnderTheirLabels) {
  {
    SqliteDb db(db_path);
    CreateAddressBook(db);
    AddPerson(db, 1, "Anna", "Berg", "/var/mobile/Media/anna.jpg");
    AddPerson(db, 1500, "Clara", "Dahl");
    AddValue(db, 1500, 3, 5, "0151");  // scanned last: part of a value filed
    AddValue(db, 1500, 3, 5, "555 0150");
    AddValue(db, 1500, 3, 5, "555 0151");
    AddValue(db, 1, 3, 1, "+1 (555) 010-0101");  // id 1, label 1: no content bytes
    AddValue(db, 1, 4, 3, "anna.berg@example.org");
    AddValue(db, 1, 3, 2, "12");  // too short
    AddValue(db, 1, 4, 1, "caf\xC3\xA9@example.org");
    AddValue(db, 2001, 3, 1, "555 2001");
    AddValue(db, 77, 3, 4, "555 0077");  // no such person
    // Emptying a table frees its cells without touching their bytes; a
    // one-row DELETE would overwrite each cell's rowid with a freeblock header.
    db.Exec("DELETE FROM ABMultiValue; DELETE FROM ABPerson");
    ASSERT_EQ(db.QueryInt("SELECT count(*) FROM ABPerson"), 0);
  }
  auto got = Recover(db_path, out);
  const auto& rows = got->rows;

  auto anna = RowsWithId(rows, "1");
  ASSERT_EQ(anna.size(), 1u);
  EXPECT_EQ(anna[0][4], "Anna");
  EXPECT_EQ(anna[0][5], "Berg");
  EXPECT_EQ(anna[0][3], "0");
  EXPECT_EQ(anna[0][32], "+1 (555) 010-0101");  // MOBILE, not "null" or a path
  EXPECT_EQ(anna[0][41], "anna.berg@example.org");
  EXPECT_EQ(anna[0][39], "caf\xC3\xA9@example.org");  // UTF-8 letters are kept
  for (int col : {33, 34, 35, 36}) EXPECT_EQ(anna[0][col], "") << col;

  auto clara = RowsWithId(rows, "1500");
  ASSERT_EQ(clara.size(), 1u);
  EXPECT_EQ(clara[0][4], "Clara");
  EXPECT_EQ(clara[0][36], "555 0151,  555 0150");  // newest record first in the page

  auto orphan = RowsWithId(rows, "77");
  ASSERT_EQ(orphan.size(), 1u);
  EXPECT_EQ(orphan[0][35], "555 0077");
  EXPECT_EQ(orphan[0][0], "");
  for (int col = 2; col < 32; ++col) EXPECT_EQ(orphan[0][col], "") << col;

  EXPECT_TRUE(RowsWithId(rows, "2001").empty());
  EXPECT_EQ(got->editor.lines(), SplitSchema(MultiValueSchema));
  EXPECT_EQ(got->view.loaded, ReadFile(out));

  // A second run starts from an empty table and gives the same report.
  auto again = Recover(db_path, out);
  EXPECT_EQ(again->rows, rows);
}

TEST_F(RecoverContactsTest, RefusesBadArgumentsBeforeWriting) {
  { SqliteDb db(db_path); CreateAddressBook(db); AddPerson(db, 3, "Eva", "Lind"); }
  LinesEditor editor({"kept"});
  RecordingView view;
  ResultTable table;
  auto message = [&](const std::string& input, const std::string& offset,
                     const std::string& output) -> std::string {
    try {
      RecoverContacts(input, offset, output, editor, view, table);
    } catch (const Error& e) {
      return e.what();
    }
    return "no error";
  };
  // An empty output path is refused before the input is even opened.
  EXPECT_EQ(message(dir.File("missing.db"), "x", ""),
            "No output file is given: enter the path of the report to write");
  EXPECT_EQ(editor.lines(), std::vector<std::string>{"kept"});
  // The file error comes before the offset's conversion error.
  EXPECT_THAT(message(dir.File("missing.db"), "x", out), HasSubstr("Cannot open file \""));
  EXPECT_EQ(message(db_path, "x", out), "''x'' is not a valid integer value");
  EXPECT_THAT(message(db_path, "-1", out), HasSubstr("start offset -1"));
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(view.clears, 0);
  // A run the progress sink stops writes nothing either.
  CancelAt cancel(0);
  EXPECT_THROW(
      {
        try {
          RecoverContacts(db_path, "0", out, editor, view, table, &cancel);
        } catch (const Error& e) {
          EXPECT_THAT(e.what(), HasSubstr("cancelled"));
          throw;
        }
      },
      Error);
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(RecoverContactsTest, ProgressCoversBothPassesWithoutGoingBack) {
  { SqliteDb db(db_path); CreateAddressBook(db); AddPerson(db, 3, "Eva", "Lind"); }
  CancelAt never(INT64_MAX);
  LinesEditor editor;
  RecordingView view;
  ResultTable table;
  RecoverContacts(db_path, "0", out, editor, view, table, &never);
  ASSERT_GE(never.calls.size(), 2u);
  int64_t total = never.calls.front().second;
  for (size_t i = 1; i < never.calls.size(); ++i) {
    EXPECT_GE(never.calls[i].first, never.calls[i - 1].first);
    EXPECT_EQ(never.calls[i].second, total);
  }
  EXPECT_EQ(never.calls.back().first, total);
}

}  // namespace
}  // namespace quarrow
