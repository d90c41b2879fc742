#include "support.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "engine/buffer.h"
#include "engine/header.h"
#include "engine/values.h"
#include "text_rule/utf8.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace quarrow::fuzz {

void Fail(const char* file, int line, const char* condition, const std::string& what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", file, line, condition,
               what.c_str());
  std::abort();
}

namespace {

// The folder, made on first use; removed by its destructor at a normal exit.
class ProcessFolder {
 public:
  ProcessFolder() {
#ifdef _WIN32
    // No mkdtemp: the process id names the folder, which must be new.
    path_ = std::filesystem::temp_directory_path() /
            ("quarrow-fuzz-" + std::to_string(_getpid()));
    std::error_code error;
    if (!std::filesystem::create_directory(path_, error))
      Fail(__FILE__, __LINE__, "create_directory", path_.string());
#else
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quarrow-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) Fail(__FILE__, __LINE__, "mkdtemp", pattern);
    path_ = pattern;
#endif
  }
  ~ProcessFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace

std::string TempFile(std::string_view name) {
  static ProcessFolder folder;
  return (folder.path() / std::string(name)).string();
}

uint8_t ByteReader::Byte() {
  if (bytes_.empty()) return 0;
  uint8_t b = static_cast<uint8_t>(bytes_[0]);
  bytes_.remove_prefix(1);
  return b;
}

uint16_t ByteReader::Word() {
  uint16_t low = Byte();
  return static_cast<uint16_t>(low | (Byte() << 8));
}

std::string_view ByteReader::Take(size_t count) {
  std::string_view taken = bytes_.substr(0, count);
  bytes_.remove_prefix(taken.size());
  return taken;
}

std::string MatchLine(const Match& match, const ColumnList& columns) {
  std::string line = std::to_string(match.position) + "|" + std::string(match.prefix);
  for (const TERM& column : columns)
    line += "|" + std::to_string(column.seg) + ":" + column.value;
  return line;
}

std::vector<std::string> ReferenceScan(const std::string& bytes, ColumnList columns,
                                       CandidateRule rule, int threshold, int prefix) {
  Buffer buffer = Buffer::FromBytes(bytes);
  BufferView view(buffer, 0, bytes);
  std::vector<std::string> lines;
  for (int64_t i = 0; i + 1 < static_cast<int64_t>(bytes.size()); ++i) {
    bool candidate =
        bytes[i] != 0 && (rule == CandidateRule::kSingleByte || bytes[i + 1] == 0);
    int64_t cursor = i + 1;
    if (!candidate || !MatchHeader(view, columns, threshold, cursor)) continue;
    ExtractValues(view, RecordBodyStart(view, i, cursor, columns), columns);
    std::string prefix_text = prefix > 0 ? ReadCellPrefix(view, i, prefix) : std::string();
    lines.push_back(MatchLine(Match{i, prefix_text}, columns));
  }
  return lines;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      lines.emplace_back(text);
      break;
    }
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) Fail(__FILE__, __LINE__, "write", path);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Fail(__FILE__, __LINE__, "open", path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string FirstDifference(const std::vector<std::string>& got,
                            const std::vector<std::string>& want) {
  if (got == want) return "";
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  std::string text = std::to_string(got.size()) + " lines, reference " +
                     std::to_string(want.size()) + "; first difference at line " +
                     std::to_string(i);
  auto shown = [](const std::vector<std::string>& lines, size_t k) {
    return k < lines.size() ? lines[k].substr(0, 300) : std::string("(none)");
  };
  return text + "\n  got:  " + shown(got, i) + "\n  want: " + shown(want, i);
}

size_t Count(std::string_view text, char c) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), c));
}

namespace {

// A recursive-descent reader of one JSON value at `at`; moves past it.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}
  bool Object(int depth) {
    if (depth > 8 || !Take('{')) return false;
    if (Take('}')) return true;
    do {
      if (!String() || !Take(':') || !Value(depth)) return false;
    } while (Take(','));
    return Take('}');
  }
  bool AtEnd() const { return at_ == text_.size(); }

 private:
  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Value(int depth) {
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '{') return Object(depth + 1);
    if (c == '"') return String();
    if (c == '[') {
      ++at_;
      if (Take(']')) return true;
      do {
        if (!Value(depth + 1)) return false;
      } while (Take(','));
      return Take(']');
    }
    for (std::string_view literal : {"null", "true", "false"}) {
      if (text_.substr(at_, literal.size()) == literal) {
        at_ += literal.size();
        return true;
      }
    }
    return Number();
  }
  bool String() {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const auto c = static_cast<uint8_t>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (at_ >= text_.size()) return false;
      const char escape = text_[at_++];
      if (escape == 'u') {
        for (int k = 0; k < 4; ++k, ++at_)
          if (at_ >= text_.size() || !std::isxdigit(static_cast<uint8_t>(text_[at_])))
            return false;
      } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }
  bool Number() {
    Take('-');
    if (Take('0')) {
      // no leading zeros
    } else if (!Digits()) {
      return false;
    }
    if (Take('.') && !Digits()) return false;
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (!Digits()) return false;
    }
    return true;
  }
  bool Digits() {
    const size_t from = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > from;
  }

  std::string_view text_;
  size_t at_ = 0;
};

bool IsJsonObject(std::string_view text) {
  JsonReader reader(text);
  return reader.Object(0) && reader.AtEnd();
}

bool IsUtf8(std::string_view text) {
  return AllUtf8(text, [](uint32_t) { return true; });
}

// Each record's field count of `text` read as RFC 4180 csv; false (and no
// counts) when a quote is misplaced or the text does not end with CR LF.
bool CsvFieldCounts(std::string_view text, std::vector<size_t>& counts) {
  counts.clear();
  size_t at = 0, fields = 1;
  while (at < text.size()) {
    if (text[at] == '"') {  // a quoted field: up to its closing quote
      for (++at;; ++at) {
        if (at >= text.size()) return counts.clear(), false;
        if (text[at] != '"') continue;
        if (at + 1 < text.size() && text[at + 1] == '"') {
          ++at;
          continue;
        }
        ++at;
        break;
      }
    } else {  // a plain field: no quote in it
      while (at < text.size() && text[at] != ',' && text[at] != '\r') {
        if (text[at] == '"' || text[at] == '\n') return counts.clear(), false;
        ++at;
      }
    }
    if (at < text.size() && text[at] == ',') {
      ++fields;
      ++at;
      continue;
    }
    if (text.substr(at, 2) != "\r\n") return counts.clear(), false;
    counts.push_back(fields);
    fields = 1;
    at += 2;
  }
  return true;
}

}  // namespace

void CheckCsvReport(std::string_view csv, int64_t records, size_t fields) {
  std::vector<size_t> counts;
  QUARROW_FUZZ_CHECK(CsvFieldCounts(csv, counts), "csv that RFC 4180 does not read");
  QUARROW_FUZZ_CHECK(static_cast<int64_t>(counts.size()) == records + 1,
                     std::to_string(counts.size()) + " csv records for " +
                         std::to_string(records) + " and the header");
  if (fields == 0) fields = counts[0];
  for (size_t count : counts)
    QUARROW_FUZZ_CHECK(count == fields, "a csv record of " + std::to_string(count) +
                                            " fields, not " + std::to_string(fields));
  QUARROW_FUZZ_CHECK(IsUtf8(csv), "csv that is not UTF-8");
}

void CheckJsonlReport(std::string_view jsonl, int64_t records) {
  QUARROW_FUZZ_CHECK(IsUtf8(jsonl), "jsonl that is not UTF-8");
  QUARROW_FUZZ_CHECK(jsonl.empty() || jsonl.back() == '\n', "a jsonl line without LF");
  const std::vector<std::string> objects = SplitLines(jsonl);
  QUARROW_FUZZ_CHECK(static_cast<int64_t>(objects.size()) == records,
                     std::to_string(objects.size()) + " jsonl lines for " +
                         std::to_string(records));
  for (const std::string& object : objects)
    QUARROW_FUZZ_CHECK(IsJsonObject(object), "a jsonl line that is no JSON object: " + object);
}

}  // namespace quarrow::fuzz
