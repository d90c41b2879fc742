#include "schema/create_table.h"

#include <algorithm>
#include <cctype>

namespace quarrow {

namespace {

struct Token {
  enum Kind { kWord, kQuoted, kString, kPunct, kOther } kind;
  std::string text;  // unquoted for kQuoted and kString
};

bool IsWordByte(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80; }

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// Reads a quoted token starting at `at` (the opening quote); a doubled closing
// quote stands for itself. Returns false when the text ends first.
bool ReadQuoted(std::string_view sql, size_t& at, char close, std::string& out) {
  for (size_t i = at + 1; i < sql.size(); ++i) {
    if (sql[i] != close) {
      out += sql[i];
    } else if (close != ']' && i + 1 < sql.size() && sql[i + 1] == close) {
      out += close;
      ++i;
    } else {
      at = i + 1;
      return true;
    }
  }
  return false;
}

// Splits SQL text into tokens, skipping blanks and comments. Returns nothing
// when a quote or comment is not closed: the text was cut.
// Stops after the parenthesis that closes the first one opened: what follows
// a definition carved out of raw bytes is other data.
std::optional<std::vector<Token>> Tokenize(std::string_view sql) {
  std::vector<Token> tokens;
  size_t at = 0;
  int depth = 0;
  while (at < sql.size()) {
    unsigned char c = static_cast<unsigned char>(sql[at]);
    if (std::isspace(c)) {
      ++at;
    } else if (sql.substr(at, 2) == "--") {
      size_t end = sql.find('\n', at);
      at = end == std::string_view::npos ? sql.size() : end + 1;
    } else if (sql.substr(at, 2) == "/*") {
      size_t end = sql.find("*/", at + 2);
      if (end == std::string_view::npos) return std::nullopt;
      at = end + 2;
    } else if (c == '"' || c == '`' || c == '[' || c == '\'') {
      Token token{c == '\'' ? Token::kString : Token::kQuoted, {}};
      if (!ReadQuoted(sql, at, c == '[' ? ']' : static_cast<char>(c), token.text))
        return std::nullopt;
      tokens.push_back(std::move(token));
    } else if (IsWordByte(c)) {
      size_t end = at;
      while (end < sql.size() && IsWordByte(static_cast<unsigned char>(sql[end]))) ++end;
      tokens.push_back({Token::kWord, std::string(sql.substr(at, end - at))});
      at = end;
    } else {
      Token::Kind kind = (c == '(' || c == ')' || c == ',' || c == '.') ? Token::kPunct
                                                                        : Token::kOther;
      tokens.push_back({kind, std::string(1, static_cast<char>(c))});
      ++at;
      if (c == '(') ++depth;
      if (c == ')' && --depth == 0) break;
    }
  }
  return tokens;
}

bool IsWord(const Token& token, std::string_view upper_word) {
  return token.kind == Token::kWord && Upper(token.text) == upper_word;
}

bool IsPunct(const Token& token, char c) {
  return token.kind == Token::kPunct && token.text[0] == c;
}

bool IsName(const Token& token) {
  // SQLite accepts a single-quoted string where a name is expected.
  return token.kind == Token::kWord || token.kind == Token::kQuoted ||
         token.kind == Token::kString;
}

// Words that end a column's type and start its constraints.
bool StartsConstraint(const Token& token) {
  static constexpr std::string_view kWords[] = {
      "CONSTRAINT", "PRIMARY", "NOT",        "NULL",      "UNIQUE", "CHECK",
      "DEFAULT",    "COLLATE", "REFERENCES", "GENERATED", "AS"};
  if (token.kind != Token::kWord) return false;
  std::string upper = Upper(token.text);
  return std::find(std::begin(kWords), std::end(kWords), upper) != std::end(kWords);
}

// Words that open a table constraint rather than a column.
bool StartsTableConstraint(const Token& token) {
  static constexpr std::string_view kWords[] = {"CONSTRAINT", "PRIMARY", "UNIQUE", "CHECK",
                                                "FOREIGN"};
  if (token.kind != Token::kWord) return false;
  std::string upper = Upper(token.text);
  return std::find(std::begin(kWords), std::end(kWords), upper) != std::end(kWords);
}

// NOT NULL, PRIMARY KEY and a literal DEFAULT among a column's constraints.
void ReadColumnConstraints(const std::vector<Token>& part, ColumnDefinition& column) {
  for (size_t i = 1; i < part.size(); ++i) {
    if (IsWord(part[i], "NOT") && i + 1 < part.size() && IsWord(part[i + 1], "NULL")) {
      column.not_null = true;
    } else if (IsWord(part[i], "PRIMARY") && i + 1 < part.size() && IsWord(part[i + 1], "KEY")) {
      column.primary_key = true;
    } else if (IsWord(part[i], "DEFAULT") && i + 1 < part.size()) {
      size_t at = i + 1;
      std::string sign;
      if ((part[at].text == "-" || part[at].text == "+") && at + 1 < part.size()) {
        sign = part[at].text == "-" ? "-" : "";
        ++at;
      }
      const Token& value = part[at];
      if (value.kind == Token::kString) {
        column.default_value = value.text;
        column.default_is_text = true;
      } else if (value.kind == Token::kWord && !IsPunct(value, '(')) {
        if (IsWord(value, "NULL")) continue;
        if (IsWord(value, "TRUE") || IsWord(value, "FALSE")) {
          column.default_value = IsWord(value, "TRUE") ? "1" : "0";
        } else if (std::isdigit(static_cast<unsigned char>(value.text[0]))) {
          std::string number = sign + value.text;
          // "1.5" tokenizes as "1", ".", "5".
          if (at + 2 < part.size() && IsPunct(part[at + 1], '.') && part[at + 2].kind == Token::kWord)
            number += "." + part[at + 2].text;
          column.default_value = number;
        }
      }
    }
  }
}

// One column definition from its tokens: the name, then type words and an
// optional "(size)" up to the first constraint. A byte that is no token of
// SQL where the type goes (a definition carved from stray bytes) parses no
// column.
std::optional<ColumnDefinition> ParseColumn(const std::vector<Token>& part) {
  if (part.empty() || !IsName(part[0])) return std::nullopt;
  ColumnDefinition column;
  column.name = part[0].text;
  for (size_t i = 1; i < part.size() && !StartsConstraint(part[i]); ++i) {
    const Token& token = part[i];
    if (IsPunct(token, '(')) {
      // The size, "(10)" or "(10, 2)", belongs to the type.
      while (i < part.size() && !IsPunct(part[i], ')')) column.declared_type += part[i++].text;
      if (i < part.size()) column.declared_type += ')';
      continue;
    }
    if (token.kind == Token::kOther) return std::nullopt;
    if (token.kind != Token::kWord && token.kind != Token::kQuoted) break;
    if (!column.declared_type.empty() && column.declared_type.back() != '(')
      column.declared_type += ' ';
    column.declared_type += token.text;
  }
  column.kind = KindOfDeclaredType(column.declared_type);
  ReadColumnConstraints(part, column);
  return column;
}

}  // namespace

int32_t KindOfDeclaredType(std::string_view declared_type) {
  std::string type = Upper(declared_type);
  auto holds = [&](std::string_view word) { return type.find(word) != std::string::npos; };
  if (holds("INT")) return kInteger;
  if (holds("CHAR") || holds("CLOB") || holds("TEXT")) return kText;
  if (holds("BLOB")) return kBlob;
  if (type.empty()) return kAny;
  if (holds("REAL") || holds("FLOA") || holds("DOUB")) return kInteger;
  return kAny;
}

std::optional<TableDefinition> ParseCreateTable(std::string_view sql) {
  std::optional<std::vector<Token>> tokens = Tokenize(sql);
  if (!tokens) return std::nullopt;
  const std::vector<Token>& t = *tokens;
  size_t i = 0;
  auto word = [&](std::string_view w) { return i < t.size() && IsWord(t[i], w); };
  if (!word("CREATE")) return std::nullopt;
  ++i;
  if (word("TEMP") || word("TEMPORARY")) ++i;
  if (!word("TABLE")) return std::nullopt;
  ++i;
  if (word("IF")) {
    i += 3;  // IF NOT EXISTS
  }
  if (i >= t.size() || !IsName(t[i])) return std::nullopt;
  TableDefinition table;
  table.name = t[i++].text;
  if (i + 1 < t.size() && IsPunct(t[i], '.') && IsName(t[i + 1])) {
    table.name = t[i + 1].text;
    i += 2;
  }
  if (i >= t.size() || !IsPunct(t[i], '(')) return std::nullopt;
  ++i;

  // The body's parts, split at commas outside parentheses.
  std::vector<Token> part;
  int depth = 0;
  bool closed = false;
  auto finish_part = [&]() -> bool {
    if (part.empty()) return false;
    if (part.size() > 3 && IsWord(part[0], "PRIMARY") && IsWord(part[1], "KEY") &&
        IsPunct(part[2], '(')) {
      // PRIMARY KEY(a, b): the named columns are the key.
      int named = 0;
      std::string name;
      for (size_t k = 3; k < part.size() && !IsPunct(part[k], ')'); ++k)
        if (IsName(part[k]) && !IsWord(part[k], "ASC") && !IsWord(part[k], "DESC")) {
          ++named;
          name = part[k].text;
        }
      for (ColumnDefinition& column : table.columns)
        if (named == 1 && Upper(column.name) == Upper(name)) column.primary_key = true;
      if (named > 1) table.composite_key = true;
    }
    if (!StartsTableConstraint(part[0])) {
      std::optional<ColumnDefinition> column = ParseColumn(part);
      if (!column) return false;
      if (table.columns.size() == kMaxTableColumns) return false;
      table.columns.push_back(std::move(*column));
    }
    part.clear();
    return true;
  };
  for (; i < t.size(); ++i) {
    if (IsPunct(t[i], '(')) ++depth;
    if (IsPunct(t[i], ')')) {
      if (depth == 0) {
        closed = true;
        break;
      }
      --depth;
    }
    if (depth == 0 && IsPunct(t[i], ',')) {
      if (!finish_part()) return std::nullopt;
      continue;
    }
    part.push_back(t[i]);
  }
  if (!closed || !finish_part() || table.columns.empty()) return std::nullopt;
  // WITHOUT ROWID follows the closing parenthesis, which Tokenize stops at.
  const size_t close = sql.rfind(')');
  if (close != std::string_view::npos) {
    std::string tail = Upper(sql.substr(close + 1));
    table.without_rowid = tail.find("WITHOUT") != std::string::npos &&
                          tail.find("ROWID") != std::string::npos;
  }
  return table;
}

std::string AsciiLower(std::string_view name) {
  std::string lower(name);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

int TableDefinition::RowidColumn() const {
  if (without_rowid || composite_key) return -1;
  int found = -1;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!columns[i].primary_key) continue;
    if (found >= 0) return -1;
    found = static_cast<int>(i);
  }
  if (found >= 0 && Upper(columns[found].declared_type) != "INTEGER") return -1;
  return found;
}

namespace {

const char* KindWord(int32_t kind) {
  switch (kind) {
    case kInteger:
      return "INTEGER";
    case kBlob:
      return "BLOB";
    case kText:
      return "TEXT";
    default:
      return "ANY";
  }
}

// The name as a DDL line can carry it: LoadColumns ends a name at its first
// space, suppresses a line holding "*" and finds kinds by plain substrings.
std::string DdlName(std::string name) {
  if (name.empty()) name = "_";
  for (char& c : name) {
    if (c == ' ' || c == '*' || c == ',' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  for (std::string_view word : {"INTEGER", "BLOB", "TEXT"}) {
    for (size_t at = name.find(word); at != std::string::npos; at = name.find(word, at)) {
      for (size_t k = 1; k < word.size(); ++k)
        name[at + k] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[at + k])));
    }
  }
  return name;
}

}  // namespace

std::vector<std::string> DdlLinesOf(const TableDefinition& table) {
  std::vector<std::string> lines;
  lines.reserve(table.columns.size());
  for (const ColumnDefinition& column : table.columns) {
    lines.push_back(DdlName(column.name) + " " + KindWord(column.kind));
  }
  return lines;
}

}  // namespace quarrow
