#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "contacts/contacts_report.h"
#include "contacts_report_rows.h"
#include "contacts/result_table.h"
#include "engine/ports.h"
#include "fixtures/sqlite_fixture.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"
#include "report/report_fields.h"
#include "sample_book.h"
#include "search/find_data.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::SqliteDb;
using fixtures::TempDir;
using fixtures::WriteFile;

const std::string kReplacement = "\xEF\xBF\xBD";

std::string Utf8(std::string_view bytes, bool* valid = nullptr) {
  std::string out;
  bool ok = AppendValidUtf8(bytes, out);
  if (valid) *valid = ok;
  return out;
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST(ReportFields, InvalidUtf8BecomesOneReplacementPerMaximalSubpart) {
  bool valid = false;
  EXPECT_EQ(Utf8("caf\xC3\xA9 \xF0\x9F\x98\x80", &valid), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_TRUE(valid);
  EXPECT_EQ(Utf8("a\xFF" "b", &valid), "a" + kReplacement + "b");
  EXPECT_FALSE(valid);
  EXPECT_EQ(Utf8("\xC0\x80"), Repeat(kReplacement, 2));           // overlong
  EXPECT_EQ(Utf8("\xED\xA0\x80"), Repeat(kReplacement, 3));       // a surrogate
  EXPECT_EQ(Utf8("\xF4\x90\x80\x80"), Repeat(kReplacement, 4));   // past U+10FFFF
  EXPECT_EQ(Utf8("\xE2\x82" "x"), kReplacement + "x");             // cut short
  EXPECT_EQ(Utf8("\xF0\x9F\x98"), kReplacement);                   // cut at the end
}

TEST(ReportFields, NamesAreMadeUniqueAndNeverEmpty) {
  std::vector<ReportColumn> columns =
      UniqueColumnNames({{"", false}, {"a", true}, {"a", false}, {"offset", true}}, {"offset"});
  std::vector<std::string> names;
  for (const ReportColumn& column : columns) names.push_back(column.name);
  EXPECT_EQ(names, (std::vector<std::string>{"column_1", "a", "a_2", "offset_2"}));
  EXPECT_TRUE(columns[1].integer);
  for (std::string_view text : {"0", "-1", "42", "9223372036854775807"})
    EXPECT_TRUE(IsDecimalInteger(text)) << text;
  for (std::string_view text : {"", "-", "007", "3.5", "1e5", "nan", "+1", " 1"})
    EXPECT_FALSE(IsDecimalInteger(text)) << text;
}

TEST(CsvWriter, QuotesOnlyWhatRfc4180Needs) {
  std::string row;
  std::vector<ReportField> fields = {{"plain"}, {"a,b"}, {"say \"hi\""}, {" lead"}, {""},
                                     {"x\xFFy"}};
  AppendCsvRecord(fields, row);
  EXPECT_EQ(row, "plain,\"a,b\",\"say \"\"hi\"\"\",\" lead\",,x" + kReplacement + "y\r\n");
  std::string header;
  AppendCsvHeader(std::vector<ReportColumn>{{"id", true}, {"a\"b", false}}, header);
  EXPECT_EQ(header, "id,\"a\"\"b\"\r\n");
}

TEST(JsonlWriter, IntegersAreNumbersAndInvalidTextKeepsItsBytes) {
  std::string line;
  AppendJsonString("\"\\\x01\t", line);
  EXPECT_EQ(line, "\"\\\"\\\\\\u0001\\t\"");
  line.clear();
  std::vector<ReportColumn> columns = {{"n", true}, {"r", true}, {"z", true}, {"t", false},
                                       {"bad", false}, {"none", true}, {"any", false}};
  std::vector<ReportField> fields = {{"-12"}, {"3.5"}, {"007"}, {"12"}, {"a\xFF"},
                                     {"null", true}, {"5", false, true}};
  AppendJsonlRecord(JsonlColumns(columns), fields, 4096, line);
  EXPECT_EQ(line, "{\"offset\":4096,\"n\":-12,\"r\":\"3.5\",\"z\":\"007\",\"t\":\"12\","
                  "\"bad\":\"a" + kReplacement + "\",\"none\":null,\"any\":5,"
                  "\"_raw\":{\"bad\":\"61ff\"}}\n");
}

// The raw bytes of a text that is not UTF-8 are kept as hex, every byte value
// and every length (the hex is written in blocks and a tail).
TEST(JsonlWriter, RawBytesAreHexOfEveryByteValue) {
  std::string all;
  for (int round = 0; round < 2; ++round)
    for (int b = 255; b >= 0; --b) all += static_cast<char>(b);
  const std::vector<ReportColumn> columns = {{"t", false}};
  for (size_t length : {1, 15, 16, 17, 31, 33, 300, 512}) {
    const std::string text = "\xFF" + all.substr(0, length);  // never valid UTF-8
    std::string expected_hex;
    for (unsigned char c : text) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02x", c);
      expected_hex += pair;
    }
    std::string line;
    const std::vector<ReportField> fields = {ReportField{text}};
    AppendJsonlRecord(JsonlColumns(columns), fields, 0, line);
    const std::string raw = "\"_raw\":{\"t\":\"" + expected_hex + "\"}}\n";
    ASSERT_GE(line.size(), raw.size());
    EXPECT_EQ(line.substr(line.size() - raw.size()), raw) << length;
  }
}

// Runs python3 on `script` with `argument`; returns what it printed.
std::string Python(const TempDir& dir, const std::string& script, const std::string& argument) {
  WriteFile(dir.File("check.py"), script);
  std::string command = "PYTHONIOENCODING=utf-8 python3 '" + dir.File("check.py") + "' '" + argument + "' > '" +
                        dir.File("python.out") + "' 2>&1";
  int status = std::system(command.c_str());
  std::string printed = ReadFile(dir.File("python.out"));
  EXPECT_EQ(status, 0) << printed;
  return printed;
}

// A real database whose texts need quoting, escaping and replacing.
class RealDatabaseReport : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
  GTEST_SKIP() << "no python3 or POSIX shell under Windows; the Linux run reads the reports back";
#endif
    SqliteDb db(db_path);
    db.Exec("CREATE TABLE item (id INTEGER PRIMARY KEY, name TEXT, note TEXT, n INTEGER)");
    db.Run("INSERT INTO item VALUES (1, 'plain', 'a,b', 42)");
    db.Run("INSERT INTO item VALUES (2, ?, ' lead', -7)", {"say \"hi\"\\"});
    db.Run("INSERT INTO item VALUES (3, ?, ?, 9223372036854775807)",
           {std::string("bad \xFF\xFE bytes"), "caf\xC3\xA9"});
    db.Close();
  }
  int64_t Find(ReportFormat format, bool bom = false) {
    RunOptions options;
    options.format = format;
    options.bom = bom;
    return FindData(ddl, db_path, out, nullptr, options);
  }

  TempDir dir;
  std::string db_path = dir.File("items.db");
  std::string out = dir.File("report");
  std::vector<std::string> ddl = {"item (id INTEGER PRIMARY KEY", "name TEXT", "note TEXT",
                                  "n INTEGER)"};
};

TEST_F(RealDatabaseReport, CsvReadsBackWithPythonsCsvModule) {
  int64_t records = Find(ReportFormat::kCsv, true);
  ASSERT_GE(records, 3);
  EXPECT_EQ(ReadFile(out).rfind("\xEF\xBB\xBFpayload_length,rowid,header_length,item,name,note,n\r\n", 0), 0u);
  std::string printed = Python(dir, R"(
import csv, sys
with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:
    rows = list(csv.reader(f))
print(len(rows) - 1, all(len(r) == 7 for r in rows))
ours = [r for r in rows[1:] if r[4].startswith(('plain', 'say', 'bad'))]
for r in sorted(ours, key=lambda r: int(r[1])):
    print('|'.join(r[1:]))
)", out);
  EXPECT_EQ(printed, std::to_string(records) + " True\n"
            "1|5|0|plain|a,b|42\n"
            "2|5|0|say \"hi\"\\| lead|-7\n"
            "3|5|0|bad " + kReplacement + kReplacement + " bytes|caf\xC3\xA9|9223372036854775807\n");
  // Without --bom there is no byte-order mark; tsv is the specified report.
  Find(ReportFormat::kCsv);
  EXPECT_EQ(ReadFile(out).rfind("payload_length,", 0), 0u);
  EXPECT_EQ(Find(ReportFormat::kTsv), records);
  EXPECT_EQ(ReadFile(out).rfind("\xEF\xBB\xBFTABLE\r\n", 0), 0u);
}

TEST_F(RealDatabaseReport, JsonlReadsBackWithPythonsJsonModule) {
  int64_t records = Find(ReportFormat::kJsonl);
  std::string printed = Python(dir, R"(
import json, sys
db = open(sys.argv[1].replace('report', 'items.db'), 'rb').read()
lines = open(sys.argv[1], encoding='utf-8').read().split('\n')
assert lines[-1] == ''
objects = [json.loads(line) for line in lines[:-1]]
print(len(objects))
for o in objects:
    # The offset is the record header's first byte: its length.
    assert db[o['offset']] == o['header_length'], o
for o in sorted(objects, key=lambda o: o['rowid']):
    if str(o['name']).startswith(('plain', 'say', 'bad')):
        print(o['rowid'], repr(o['name']), repr(o['note']), repr(o['n']), o['item'], o.get('_raw'))
)", out);
  EXPECT_EQ(printed, std::to_string(records) + "\n"
            "1 'plain' 'a,b' 42 None None\n"
            "2 'say \"hi\"\\\\' ' lead' -7 None None\n"
            "3 'bad " + kReplacement + kReplacement + " bytes' 'café' 9223372036854775807 None "
            "{'name': '62616420fffe206279746573'}\n");
}

TEST(ContactsFormats, CsvAndJsonlCarryTheReportsColumns) {
#ifdef _WIN32
  GTEST_SKIP() << "no python3 or POSIX shell under Windows; the Linux run reads the reports back";
#endif
  TempDir dir;
  ResultTable table;
  table.SetCell(0, 3, "ABPerson");
  table.SetCell(0, 4, "First");
  table.SetCell(0, 13, "Kind");
  table.SetCell(0, 17, "Prefix");  // suppressed: "null" whatever it holds
  table.SetCell(0, 18, "Note2");
  std::vector<std::string> cells(33);
  cells[0] = "12", cells[1] = "1500", cells[2] = "30", cells[3] = "null";
  cells[4] = "Anna, \"Bee\"";
  cells[17] = "null", cells[18] = "null";  // a text that happens to read null
  cells[32] = "555 0150";                  // MOBILE: digits, but a text
  std::string row;
  for (const std::string& cell : cells) row += (row.empty() ? "" : "\t") + cell;
  table.AddRowText(row);
  testing::NoView view;
  RunOptions csv;
  csv.format = ReportFormat::kCsv;
  WriteContactsReport(table, dir.File("out.csv"), view, csv);
  RunOptions jsonl;
  jsonl.format = ReportFormat::kJsonl;
  WriteContactsReport(table, dir.File("out.jsonl"), view, jsonl);
  std::string printed = Python(dir, R"(
import csv, json, sys
folder = sys.argv[1]
rows = list(csv.reader(open(folder + '/out.csv', newline='', encoding='utf-8')))
print(len(rows), len(rows[0]), rows[0][:5], rows[0][32], rows[1][4], rows[1][32])
o = json.loads(open(folder + '/out.jsonl', encoding='utf-8').readline())
print(len(o), o['NUM_1'], o['ABPerson'], o['First'], repr(o['MOBILE']), repr(o['Kind']), 'offset' in o,
      o['Prefix'], o['Note2'])
)", dir.path().string());
  EXPECT_EQ(printed,
            "2 46 ['NUM_0', 'NUM_1', 'NUM_2', 'ABPerson', 'First'] MOBILE Anna, \"Bee\" 555 0150\n"
            "46 1500 None Anna, \"Bee\" '555 0150' None False None null\n");
}

// The formats carry the very rows of the tsv report, label cells on the first
// row of each id included, however many workers make the lines.
TEST(ContactsFormats, CsvAndJsonlRowsAreTheTsvReportsRows) {
#ifdef _WIN32
  GTEST_SKIP() << "no python3 or POSIX shell under Windows; the Linux run reads the reports back";
#endif
  TempDir dir;
  const std::string book = dir.File("book.db");
  sample::SampleOptions sample_options;
  sample_options.layout = 34;
  sample_options.persons = 120;
  sample_options.seed = 2;
  sample::MakeSampleBook(book, sample_options);
  for (int threads : {1, 2}) {
    for (ReportFormat format : {ReportFormat::kTsv, ReportFormat::kCsv, ReportFormat::kJsonl}) {
      RunOptions options;
      options.format = format;
      options.threads = threads;
      const char* name = format == ReportFormat::kTsv ? "out.tsv"
                         : format == ReportFormat::kCsv ? "out.csv" : "out.jsonl";
      testing::RecoverContactsInto(book, dir.File(name), options);
    }
    std::string printed = Python(dir, R"(
import csv, json, sys
folder = sys.argv[1]
text = open(folder + '/out.tsv', encoding='utf-8-sig', errors='replace', newline='').read()
tsv = [line.split('\t')[:46] for line in text.split('\r\n') if line]
rows = list(csv.reader(open(folder + '/out.csv', newline='', encoding='utf-8')))
objects = [json.loads(line) for line in open(folder + '/out.jsonl', encoding='utf-8')]
names = tsv[0]
labels = names[32:46]
with_labels = sum(1 for row in tsv[1:] if any(row[32:46]))
same_jsonl = all([o[n] for n in labels] == row[32:46] and o['First'] == row[4]
                 for o, row in zip(objects, tsv[1:]))
print(len(tsv) - 1, rows == tsv, len(objects) == len(tsv) - 1, same_jsonl, with_labels > 10)
)", dir.path().string());
    EXPECT_EQ(printed.substr(printed.find(' ')), " True True True True\n")
        << "threads " << threads << ": " << printed;
  }
}

}  // namespace
}  // namespace quarrow
