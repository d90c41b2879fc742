#include "schema/table_definitions.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>

#include "carve/database_image.h"
#include "engine/file_io.h"
#include "text_rule/error.h"
#include "text_rule/utf8.h"

namespace quarrow {

namespace {

constexpr std::string_view kDatabaseMagic{"SQLite format 3\0", 16};

// A file: URI for `path`, with the characters a URI gives meaning to escaped.
// immutable=1 makes SQLite read the file only: no locks, no -wal, -shm or
// journal is opened or created beside it.
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    } else {
      uri += static_cast<char>(c);
    }
  }
  return uri + "?mode=ro&immutable=1";
}

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Runs `sql` and calls `row` for each result row; false when SQLite refuses
// (not a database, encrypted, damaged, no such table).
template <typename Row>
bool ForEachRow(sqlite3* db, const char* sql, Row&& row) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) return false;
  Statement statement(raw);
  int status;
  while ((status = sqlite3_step(statement.get())) == SQLITE_ROW) row(statement.get());
  return status == SQLITE_DONE;
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(statement, column)))
              : std::string();
}

// The schema through libsqlite3, or nothing when the file does not open as a
// database holding at least one table.
std::optional<InputSchema> ReadThroughSqlite(const std::string& path) {
  sqlite3* raw = nullptr;
  int opened = sqlite3_open_v2(ImmutableUri(path).c_str(), &raw,
                               SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  Database db(raw);
  if (opened != SQLITE_OK) return std::nullopt;
  InputSchema schema;
  schema.source = InputSchema::Source::kDatabase;
  bool read = ForEachRow(
      db.get(), "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND sql IS NOT NULL",
      [&](sqlite3_stmt* row) { schema.tables.emplace(ColumnText(row, 0), ColumnText(row, 1)); });
  if (!read || schema.tables.empty()) return std::nullopt;
  if (schema.tables.count("ABMultiValueLabel") != 0) {
    ForEachRow(db.get(), "SELECT rowid, value FROM ABMultiValueLabel", [&](sqlite3_stmt* row) {
      // Odd rows (no text) name no label.
      if (sqlite3_column_type(row, 1) == SQLITE_TEXT)
        schema.labels.emplace(sqlite3_column_int64(row, 0), ColumnText(row, 1));
    });
  }
  return schema;
}

bool StartsWithDatabaseMagic(const InputFile& file) {
  char head[16];
  return file.ReadAt(0, sizeof head, head) == sizeof head &&
         std::string_view(head, sizeof head) == kDatabaseMagic;
}

// True iff `text` is valid UTF-8 holding no control character.
bool IsPrintableUtf8(std::string_view text) {
  return AllUtf8(text, [](uint32_t point) { return point >= 0x20 && point != 0x7F; });
}

// True iff `text` is bytes an SQL text may hold: valid UTF-8 without control
// characters but white space. A definition carved with other bytes in it was
// cut (its text spilled into an overflow page) or damaged.
bool IsSqlCharacter(uint32_t point) {
  return (point >= 0x20 && point != 0x7F) || point == '\t' || point == '\n' || point == '\r' ||
         point == '\f' || point == '\v';
}
bool IsSqlText(std::string_view text) { return AllUtf8(text, IsSqlCharacter); }

// The definitions a database's own schema table holds, as the database
// stands with its WAL applied, read through its b-tree and overflow chains
// (carve/database_image.h): for a database SQLite refuses (a damaged schema
// text), these are whole where carved copies may be cut (a text that spilled
// into an overflow page) or stale (a dropped table's text left in a freed
// cell). Only whole ones are given.
std::map<std::string, std::string> DatabaseDefinitions(const std::string& path) {
  std::map<std::string, std::string> tables;
  try {
    const std::unique_ptr<DatabaseImage> image = DatabaseImage::ForInput(path);
    if (!image->valid()) return tables;
    for (const SchemaRow& row : image->Schema()) {
      if (row.type != "table" || !IsSqlText(row.sql)) continue;
      if (std::optional<TableDefinition> table = ParseCreateTable(row.sql))
        tables.emplace(table->name, row.sql);
    }
  } catch (const Error&) {
    // No database to read: carving finds what there is.
  }
  return tables;
}

bool IsWrappedLabel(std::string_view text) {
  return text.size() > 8 && text.substr(0, 4) == "_$!<" && text.substr(text.size() - 4) == ">!$_";
}

// Finds schema texts and label records in windows of the input. A hit counts
// in the window whose [first, last) holds its start; the bytes after `last`
// are only read, so that nothing straddling two windows is lost or doubled.
class SchemaCarver {
 public:
  // `known` are definitions found before carving, which carved ones of the
  // same tables do not replace.
  explicit SchemaCarver(std::map<std::string, std::string> known = {})
      : tables_(std::move(known)) {}

  void Feed(std::string_view window, size_t first, size_t last) {
    FindDefinitions(window, first, last);
    FindLabels(window, first, last);
  }

  InputSchema Result() {
    InputSchema schema;
    for (const std::string& name : unsound_)
      if (tables_.count(name) == 0) schema.unsound.insert(name);
    schema.tables = std::move(tables_);
    // A one-column text record is easily mimicked by chance bytes; only a set
    // that holds one of the phone's own wrapped labels is taken for the table.
    if (std::any_of(labels_.begin(), labels_.end(),
                    [](const auto& label) { return IsWrappedLabel(label.second); }))
      schema.labels = std::move(labels_);
    if (!schema.tables.empty() || !schema.labels.empty())
      schema.source = InputSchema::Source::kCarved;
    return schema;
  }

  // Bytes a hit may need past its window's `last`.
  static constexpr size_t kReach = 64 * 1024;

 private:
  void FindDefinitions(std::string_view window, size_t first, size_t last) {
    static constexpr std::string_view kCreate = "CREATE TABLE";
    // Each try may read up to kReach bytes; bytes shaped to repeat "CREATE
    // TABLE" without ever closing would otherwise cost kReach per hit. Real
    // schemas hold a few kilobytes of such texts per database copy.
    size_t budget = 2 * (last - first) + kReach;
    for (size_t at = window.find(kCreate, first); at != std::string_view::npos && at < last;
         at = window.find(kCreate, at + 1)) {
      const size_t reach = std::min(kReach, window.size() - at);
      if (reach > budget) break;
      budget -= reach;
      // A definition is used only when whole; else the next one found.
      if (std::optional<std::string> text = WholeDefinition(window.substr(at, reach))) {
        std::optional<TableDefinition> table = ParseCreateTable(*text);
        if (table && tables_.count(table->name) == 0) tables_.emplace(table->name, *text);
      } else if (std::optional<std::string> name = TableNameOf(window.substr(at, reach))) {
        unsound_.insert(*name);
      }
    }
  }

  // The table a CREATE TABLE text at the start of `text` names, its text
  // whole or not: read from the words before its first parenthesis.
  static std::optional<std::string> TableNameOf(std::string_view text) {
    const size_t open = text.find('(');
    if (open == std::string_view::npos) return std::nullopt;
    std::string head(text.substr(0, open));
    if (!IsSqlText(head)) return std::nullopt;
    std::optional<TableDefinition> table = ParseCreateTable(head + "(x)");
    if (!table) return std::nullopt;
    return table->name;
  }

  // The definition's text at the start of `text` when it is whole: complete
  // to its closing parenthesis, every column parsed, and nothing but SQL text
  // in it (a text that spilled into an overflow page is cut by the page's
  // number there).
  static std::optional<std::string> WholeDefinition(std::string_view text) {
    if (!ParseCreateTable(text)) return std::nullopt;
    const std::string_view definition = text.substr(0, DefinitionLength(text));
    if (!IsSqlText(definition)) return std::nullopt;
    return std::string(definition);
  }

  // Where the CREATE TABLE text ends: after the parenthesis closing the first
  // one, outside quotes. ParseCreateTable has accepted it, so it is there.
  static size_t DefinitionLength(std::string_view text) {
    int depth = 0;
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'' || c == '`') {
        quote = c;
      } else if (c == '[') {
        quote = ']';
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        return i + 1;
      }
    }
    return text.size();
  }

  // A label record: payload length, rowid, header length 2, one text serial
  // type, the text. The payload length must agree with the text's size.
  void FindLabels(std::string_view window, size_t first, size_t last) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(window.data());
    for (size_t q = std::max<size_t>(first, 2); q < last && q + 1 < window.size(); ++q) {
      q = FindByte(window, q, last, 0x02);
      if (q >= last || q + 1 >= window.size()) break;
      unsigned serial = bytes[q + 1];
      if (serial < 15 || serial > 127 || serial % 2 == 0) continue;
      size_t size = (serial - 13) / 2;
      if (q + 2 + size > window.size() || (bytes[q - 1] & 0x80) != 0) continue;
      int64_t rowid = bytes[q - 1];
      size_t payload_at = q - 2;
      if ((bytes[q - 2] & 0x80) != 0) {
        if (q < 3) continue;
        rowid |= static_cast<int64_t>(bytes[q - 2] & 0x7F) << 7;
        payload_at = q - 3;
      }
      if (rowid == 0 || bytes[payload_at] != 2 + size) continue;
      std::string_view text = window.substr(q + 2, size);
      if (!IsPrintableUtf8(text)) continue;
      labels_.emplace(rowid, std::string(text));
    }
  }

  static size_t FindByte(std::string_view window, size_t from, size_t last, char byte) {
    size_t at = window.find(byte, from);
    return at == std::string_view::npos ? last : at;
  }

  std::map<std::string, std::string> tables_;
  std::set<std::string> unsound_;
  std::map<int64_t, std::string> labels_;
};

InputSchema CarveFile(const InputFile& file, ProgressSink* progress,
                      std::map<std::string, std::string> known = {}) {
  constexpr int64_t kWindow = int64_t{8} << 20;
  constexpr int64_t kBack = 4;  // a label record's bytes before its header
  SchemaCarver carver(std::move(known));
  std::string window;
  for (int64_t first = 0; first < file.size(); first += kWindow) {
    const int64_t start = std::max<int64_t>(first - kBack, 0);
    const int64_t end = std::min<int64_t>(file.size(), first + kWindow + SchemaCarver::kReach);
    window.resize(static_cast<size_t>(end - start));
    window.resize(file.ReadAt(start, window.size(), window.data()));
    const size_t from = static_cast<size_t>(first - start);
    const size_t to = std::min(window.size(), from + static_cast<size_t>(kWindow));
    carver.Feed(window, from, to);
    if (progress != nullptr && !progress->Update(first + (to - from), file.size())) break;
  }
  return carver.Result();
}

}  // namespace

std::optional<TableDefinition> InputSchema::Table(const std::string& name) const {
  auto found = tables.find(name);
  if (found == tables.end()) return std::nullopt;
  return ParseCreateTable(found->second);
}

InputSchema CarveInputSchema(std::string_view bytes) {
  SchemaCarver carver;
  carver.Feed(bytes, 0, bytes.size());
  return carver.Result();
}

namespace {

constexpr std::string_view kWalSuffix = "-wal";

// Adds what `more` holds and `schema` lacks: labels only grow, and a table
// missing from one file of a database may be defined in the other.
void AddMissing(InputSchema& schema, InputSchema more) {
  for (auto& table : more.tables) schema.tables.insert(std::move(table));
  for (const std::string& name : more.unsound) schema.unsound.insert(name);
  for (const auto& table : schema.tables) schema.unsound.erase(table.first);
  for (auto& label : more.labels) schema.labels.insert(std::move(label));
  if (schema.source == InputSchema::Source::kNone) schema.source = more.source;
}

// The schema of the other file of a WAL-mode database, when it is there:
// SQLite reading a database immutably ignores its WAL, where recent tables
// and labels are; and a WAL file alone needs its database's definitions.
std::optional<InputSchema> CompanionSchema(const std::string& path) {
  const bool is_wal = path.size() > kWalSuffix.size() &&
                      path.compare(path.size() - kWalSuffix.size(), kWalSuffix.size(),
                                   kWalSuffix) == 0;
  const std::string other =
      is_wal ? path.substr(0, path.size() - kWalSuffix.size()) : path + std::string(kWalSuffix);
  try {
    InputFile file(other);
    if (is_wal) {
      if (StartsWithDatabaseMagic(file)) return ReadThroughSqlite(other);
      return std::nullopt;
    }
    return CarveFile(file, nullptr);
  } catch (const Error&) {
    return std::nullopt;  // no such file beside: nothing to add
  }
}

}  // namespace

InputSchema ReadInputSchema(const std::string& path, ProgressSink* progress) {
  InputFile file(path);
  InputSchema schema;
  if (StartsWithDatabaseMagic(file)) {
    if (std::optional<InputSchema> read = ReadThroughSqlite(path)) schema = std::move(*read);
  }
  // A database SQLite refuses: its own schema table's whole definitions
  // first, then what carving finds.
  if (schema.source == InputSchema::Source::kNone)
    schema = CarveFile(file, progress, DatabaseDefinitions(path));
  if (std::optional<InputSchema> companion = CompanionSchema(path))
    AddMissing(schema, std::move(*companion));
  return schema;
}

std::vector<std::string> TableDdlLines(const std::string& input_path,
                                       const std::string& table_name,
                                       const std::string& schema_from) {
  const std::string& source = schema_from.empty() ? input_path : schema_from;
  if (std::optional<TableDefinition> table = ReadInputSchema(source).Table(table_name))
    return DdlLinesOf(*table);
  throw Error("No definition of table \"" + table_name + "\" was found in \"" +
              FullPath(source) + "\"; give its columns with --ddl FILE");
}

}  // namespace quarrow
