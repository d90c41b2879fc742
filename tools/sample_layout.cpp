#include "sample_layout.h"

namespace quarrow::sample {

namespace {

// Declared types and defaults of the shared person columns, as the phones
// declare them.
struct ColumnDecl {
  const char* name;
  const char* decl;
};

const ColumnDecl kSharedPerson[] = {
    {"First", "TEXT"},
    {"Last", "TEXT"},
    {"Middle", "TEXT"},
    {"FirstPhonetic", "TEXT"},
    {"MiddlePhonetic", "TEXT"},
    {"LastPhonetic", "TEXT"},
    {"Organization", "TEXT"},
    {"Department", "TEXT"},
    {"Note", "TEXT"},
    {"Kind", "INTEGER"},
    {"Birthday", "TEXT"},
    {"JobTitle", "TEXT"},
    {"Nickname", "TEXT"},
    {"Prefix", "TEXT"},
    {"Suffix", "TEXT"},
    {"FirstSort", "TEXT"},
    {"LastSort", "TEXT"},
    {"CreationDate", "INTEGER"},
    {"ModificationDate", "INTEGER"},
    {"CompositeNameFallback", "TEXT"},
    {"ExternalIdentifier", "TEXT"},
    {"ExternalModificationTag", "TEXT"},
    {"ExternalUUID", "TEXT"},
    {"StoreID", "INTEGER"},
    {"DisplayName", "TEXT"},
    {"ExternalRepresentation", "BLOB"},
    {"FirstSortSection", "TEXT"},
    {"LastSortSection", "TEXT"},
    {"FirstSortLanguageIndex", "INTEGER DEFAULT 2147483647"},
    {"LastSortLanguageIndex", "INTEGER DEFAULT 2147483647"},
    {"PersonLink", "INTEGER DEFAULT -1"},
    {"ImageURI", "TEXT"},
    {"IsPreferredName", "INTEGER DEFAULT 1"},
};

const ColumnDecl kPerson36[] = {
    {"guid", "TEXT DEFAULT (ab_generate_guid())"},
    {"PhonemeData", "TEXT"},
};
const ColumnDecl kPerson38[] = {
    {"AlternateBirthday", "TEXT"},
    {"MapsData", "TEXT"},
};

const char* const kSearchContent[] = {
    "c0First",       "c1Last",        "c2Middle",      "c3FirstPhonetic",
    "c4MiddlePhonetic", "c5LastPhonetic", "c6Organization", "c7Department",
    "c8Note",        "c9Birthday",    "c10JobTitle",   "c11Nickname",
    "c12Prefix",     "c13Suffix",     "c14DisplayName", "c15Phone",
    "c16Email",      "c17Address",    "c18SocialProfile", "c19URL",
    "c20RelatedNames", "c21IM",       "c22Date",
};

template <size_t N>
void AppendDecls(std::string& sql, const ColumnDecl (&decls)[N]) {
  for (const ColumnDecl& c : decls) sql += std::string(", ") + c.name + " " + c.decl;
}

}  // namespace

bool IsLayout(int layout) {
  return layout == kLayout34 || layout == kLayout36 || layout == kLayout38;
}

const std::vector<std::string>& SharedPersonColumns() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const ColumnDecl& c : kSharedPerson) out.push_back(c.name);
    return out;
  }();
  return names;
}

std::vector<std::string> PersonColumns(int layout) {
  std::vector<std::string> out = SharedPersonColumns();
  if (layout >= kLayout36) {
    for (const ColumnDecl& c : kPerson36) out.push_back(c.name);
  }
  if (layout >= kLayout38) {
    for (const ColumnDecl& c : kPerson38) out.push_back(c.name);
  }
  return out;
}

std::string PersonTableSql(int layout) {
  std::string sql = "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT";
  AppendDecls(sql, kSharedPerson);
  if (layout >= kLayout36) AppendDecls(sql, kPerson36);
  if (layout >= kLayout38) AppendDecls(sql, kPerson38);
  if (layout >= kLayout36) sql += ", UNIQUE(guid)";
  return sql + ")";
}

std::string MultiValueTableSql(int layout) {
  std::string sql =
      "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, "
      "property INTEGER, identifier INTEGER, label INTEGER, value TEXT";
  if (layout >= kLayout36) sql += ", guid TEXT DEFAULT (ab_generate_guid()), UNIQUE(guid)";
  return sql + ")";
}

std::vector<std::string> SearchContentColumns(int layout) {
  std::vector<std::string> out;
  if (layout < kLayout36) return out;
  for (const char* name : kSearchContent) out.push_back(name);
  if (layout >= kLayout38) out.push_back("c23SupplementalCompositeNameTerms");
  return out;
}

std::string SearchContentTableSql(int layout) {
  if (layout < kLayout36) return {};
  // The phone's text: quoted, untyped columns.
  std::string sql = "CREATE TABLE 'ABPersonFullTextSearch_content'(docid INTEGER PRIMARY KEY";
  for (const std::string& name : SearchContentColumns(layout)) sql += ", '" + name + "'";
  return sql + ")";
}

std::string LabelTableSql() { return "CREATE TABLE ABMultiValueLabel (value TEXT, UNIQUE(value))"; }

int MultiValueColumnCount(int layout) { return layout >= kLayout36 ? 7 : 6; }

}  // namespace quarrow::sample
