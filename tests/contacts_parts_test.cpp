// The contacts part format as written and read: rows keep their TABs, only
// line ends and escapes are escaped, names are written only when the row does
// not say them, and parts of another version or with their kinds out of
// order are refused. (Parts made by real shards and merged: shard_test.cpp.)
#include "contacts/contacts_parts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "contacts/contacts_recovery.h"
#include "fixtures/sqlite_fixture.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using fixtures::WriteFile;

constexpr int64_t kInputSize = 4096;

// Cells 0 to 31 of a person row: First, Last, Middle in cells 4 to 6 and
// Organization in cell 10, `rest` in cell 12.
std::string Row(const std::string& first, const std::string& last, const std::string& rest) {
  std::vector<std::string> cells(32);
  cells[0] = "40";
  cells[1] = "3000";
  cells[2] = "35";
  cells[4] = first;
  cells[5] = last;
  cells[10] = "Acme";
  cells[12] = rest;
  std::string row;
  for (size_t k = 0; k < cells.size(); ++k) row += (k ? "\t" : "") + cells[k];
  return row;
}

ContactsPartHead WholeInputHead() {
  ContactsPartHead head;
  head.program = QUARROW_VERSION;
  head.input_size = kInputSize;
  head.fingerprint = "f";
  head.settings = "offset=0";
  head.end = kInputSize;
  head.carries_search = true;
  return head;
}

class ContactsPartFormatTest : public testing::Test {
 protected:
  // Writes a part of two persons: one whose names are its row's, one whose
  // names are not (a record whose rowid proves an id beyond the values').
  void WritePart() {
    ContactsPartWriter writer(part_, WholeInputHead());
    writer.Value(100, 7, 33, "a\\b\tc");
    writer.Search(SearchEvidence());
    PartPerson own;
    own.offset = 200;
    own.row = row_own_;
    own.names = {"Ann", "O'Brien", "", "Acme"};
    writer.Person(own);
    PartPerson other;
    other.offset = 300;
    other.row = row_other_;
    other.names = {"Zed", "", "", ""};
    writer.Person(other);
    writer.Finish();
  }

  TempDir dir_;
  const std::string part_ = dir_.File("a.part");
  const std::string row_own_ = Row("Ann", "O'Brien", "line one\nline two \\x41");
  const std::string row_other_ = Row("Bea", "Lin", "plain");
};

TEST_F(ContactsPartFormatTest, RowsKeepTheirTabsAndNamesAreWrittenOnlyWhenTheRowLacksThem) {
  WritePart();
  const std::string text = ReadFile(part_);
  EXPECT_EQ(text.substr(0, text.find('\n')), "quarrow-contacts-part\t" +
                                                 std::to_string(kContactsPartVersion));
  // A value's text is its line's last field: its TAB stays, the backslash
  // is escaped.
  EXPECT_NE(text.find("\nv\t100\t7\t33\ta\\x5cb\tc\n"), std::string::npos) << text;
  std::string escaped_own = row_own_;
  escaped_own.replace(escaped_own.find('\n'), 1, "\\x0a");
  escaped_own.replace(escaped_own.find("\\x41"), 1, "\\x5c");
  EXPECT_NE(text.find("\np\t200\t0\t6\t0\t3\t1\t-\t" + escaped_own + "\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\nn\t300\t0\t6\t0\t3\t1\t-\tZed\t\t\t\t" + row_other_ + "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nend\t1\t0\t0\t2\n"), std::string::npos) << text;

  // The merge gives the rows back as written.
  const std::string report = dir_.File("report.tsv");
  EXPECT_EQ(MergeContactsParts({part_}, report, false, RunOptions()), 3);
  const std::string rows = ReadFile(report);
  EXPECT_NE(rows.find(row_own_ + "\t"), std::string::npos) << rows;
  EXPECT_NE(rows.find(row_other_ + "\t"), std::string::npos) << rows;
  // Merged into a part, the lines are copied as they are.
  const std::string joined = dir_.File("joined.part");
  MergeContactsParts({part_}, joined, true, RunOptions());
  EXPECT_EQ(ReadFile(joined), text);
}

TEST_F(ContactsPartFormatTest, OtherVersionsAndKindsOutOfOrderAreRefused) {
  WritePart();
  const std::string text = ReadFile(part_);
  auto refusal = [&](const std::string& part_text) {
    WriteFile(dir_.File("bad.part"), part_text);
    try {
      MergeContactsParts({dir_.File("bad.part")}, dir_.File("report.tsv"), false, RunOptions());
    } catch (const Error& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  std::string version_one = text;
  version_one.replace(version_one.find("part\t") + 5, std::to_string(kContactsPartVersion).size(),
                      "1");
  EXPECT_NE(refusal(version_one).find("version 1"), std::string::npos) << refusal(version_one);
  // A value after the persons.
  std::string out_of_order = text;
  const std::string value_line = "v\t100\t7\t33\ta\\x5cb\tc\n";
  out_of_order.erase(out_of_order.find(value_line), value_line.size());
  out_of_order.insert(out_of_order.find("end\t"), value_line);
  EXPECT_NE(refusal(out_of_order).find("out of order"), std::string::npos)
      << refusal(out_of_order);
  // A person line short of its row.
  std::string short_line = text;
  const size_t person = short_line.find("\np\t200\t") + 1;
  short_line.replace(person, short_line.find('\n', person) - person, "p\t200\t0\t6");
  EXPECT_NE(refusal(short_line).find("too few fields"), std::string::npos) << refusal(short_line);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("report.tsv")));
}

}  // namespace
}  // namespace quarrow
