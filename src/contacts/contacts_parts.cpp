#include "contacts/contacts_parts.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <functional>

#include "carve/record_state.h"
#include "contacts/label_cells.h"
#include "contacts/person_pass.h"
#include "contacts/report_writer.h"
#include "contacts/value_links.h"
#include "contacts/value_placement.h"
#include "engine/header.h"
#include "engine/values.h"
#include "report/sha256.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

constexpr std::string_view kMagic = "quarrow-contacts-part";
constexpr int64_t kSampleSize = 4096;
constexpr int kSamplesBetween = 16;
constexpr size_t kReadChunk = size_t{1} << 20;
enum Kind { kValue, kOrigin, kWitness, kPerson, kKinds };

// --- fields -----------------------------------------------------------------

// A line's last field takes the rest of the line, TABs and all: only the
// line end and the escape itself need escaping there.
enum class FieldPlace { kInside, kLast };

bool NeedsEscape(char c, FieldPlace place) {
  return c == '\n' || c == '\\' || (c == '\t' && place == FieldPlace::kInside);
}

void AppendEscape(char c, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto byte = static_cast<uint8_t>(c);
  const char escape[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
  out.append(escape, 4);
}

// Where the next LF or backslash of `text` lies, from `from`, or its size.
size_t NextLineEndOrEscape(std::string_view text, size_t from) {
  const char* begin = text.data() + from;
  const size_t size = text.size() - from;
  const void* line_end = std::memchr(begin, '\n', size);
  const void* escape = std::memchr(begin, '\\', size);
  const size_t to_line_end = line_end ? static_cast<const char*>(line_end) - begin : size;
  const size_t to_escape = escape ? static_cast<const char*>(escape) - begin : size;
  return from + std::min(to_line_end, to_escape);
}

void AppendEscaped(std::string_view text, std::string& out, FieldPlace place) {
  size_t plain = 0;
  if (place == FieldPlace::kLast) {
    // A row is hundreds of bytes that seldom hold either: searched, not walked.
    for (size_t i = NextLineEndOrEscape(text, 0); i < text.size();
         i = NextLineEndOrEscape(text, plain)) {
      out.append(text.data() + plain, i - plain);
      AppendEscape(text[i], out);
      plain = i + 1;
    }
  } else {
    for (size_t i = 0; i < text.size(); ++i) {
      if (!NeedsEscape(text[i], place)) continue;
      out.append(text.data() + plain, i - plain);
      AppendEscape(text[i], out);
      plain = i + 1;
    }
  }
  out.append(text.data() + plain, text.size() - plain);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  size_t plain = 0;
  for (size_t i = text.find('\\'); i != std::string_view::npos; i = text.find('\\', plain)) {
    out.append(text.data() + plain, i - plain);
    if (i + 3 >= text.size() || text[i + 1] != 'x') return false;
    const int high = HexDigit(text[i + 2]), low = HexDigit(text[i + 3]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    plain = i + 4;
  }
  out.append(text.data() + plain, text.size() - plain);
  return true;
}


// A line's first `count` fields; the last takes the rest of the line (a
// row's TABs). Fewer when the line has fewer.
size_t SplitFields(std::string_view line, std::string_view* fields, size_t count) {
  size_t found = 0;
  while (found + 1 < count) {
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) break;
    fields[found++] = line.substr(0, tab);
    line.remove_prefix(tab + 1);
  }
  fields[found++] = line;
  return found;
}

void AppendField(std::string& line, std::string_view text,
                 FieldPlace place = FieldPlace::kInside) {
  line += '\t';
  AppendEscaped(text, line, place);
}

// Report cells holding First, Last, Middle and Organization: the names a
// person row is linked by when its id is not proven.
constexpr std::array<size_t, 4> kNameCells = {kFirstPersonColumn + 1, kFirstPersonColumn + 2,
                                              kFirstPersonColumn + 3, kFirstPersonColumn + 7};

// The name cells of a row (cells joined by TABs); empty past its last cell.
PersonNames RowNames(std::string_view row) {
  PersonNames names;
  size_t cell = 0, next = 0, start = 0;
  while (next < kNameCells.size() && start <= row.size()) {
    size_t end = CellEnd(row, start);
    if (end == std::string_view::npos) end = row.size();
    if (cell == kNameCells[next]) names[next++].assign(row.substr(start, end - start));
    ++cell;
    start = end + 1;
  }
  return names;
}

bool NamesAreRows(const PersonNames& names, std::string_view row) {
  size_t cell = 0, next = 0, start = 0;
  while (next < kNameCells.size() && start <= row.size()) {
    size_t end = CellEnd(row, start);
    if (end == std::string_view::npos) end = row.size();
    if (cell == kNameCells[next] && names[next++] != row.substr(start, end - start)) return false;
    ++cell;
    start = end + 1;
  }
  for (; next < kNameCells.size(); ++next)
    if (!names[next].empty()) return false;
  return true;
}

void AppendNumber(std::string& line, int64_t number) {
  line += '\t';
  // Statuses, states and flags are single digits, a few per record.
  if (number >= 0 && number < 10) {
    line += static_cast<char>('0' + number);
    return;
  }
  AppendDecimal(number, line);
}

void AppendStatus(std::string& line, const PageStatus& where, RecordState state, bool kept) {
  AppendNumber(line, static_cast<int>(where.status));
  AppendNumber(line, where.wal_frame);
  AppendNumber(line, static_cast<int>(state));
  AppendNumber(line, kept ? 1 : 0);
}

// --- reading ------------------------------------------------------------------

// A part's lines, read a chunk at a time; messages name the file and line.
class PartReader {
 public:
  // Reads the head only, a small chunk: a merge opens every part at once.
  explicit PartReader(const std::string& path) : path_(path), file_(path) {
    ReadHead();
    chunk_ = kReadChunk;
  }

  const ContactsPartHead& head() const { return head_; }
  const std::string& path() const { return path_; }

  // Calls `record` with each record line (kind, whole line) from where the
  // last call stopped, in order, up to the last of kind `last`: the line
  // after it stays for the next call. At the end line, checks its counts.
  void ReadThrough(Kind last, const std::function<void(Kind, std::string_view)>& record) {
    while (!ended_) {
      std::string_view line;
      if (held_) {
        line = held_line_;
      } else {
        line = NextLineOrFail("no end line: the part is incomplete");
      }
      const std::string_view kind = line.substr(0, line.find('\t'));
      if (kind == "end") {
        CheckEnd(line, counts_);
        ended_ = true;
        return;
      }
      const Kind which = KindOf(kind);
      if (which < last_kind_) Fail("its records are out of order");
      if (which > last) {
        held_ = true;
        held_line_ = line;
        return;
      }
      held_ = false;
      last_kind_ = which;
      if (kind != "l") ++counts_[which];
      record(which, line);
    }
  }

  // Lets go of the read buffer until the next ReadThrough, which reads on
  // from the first line not handled (a merge holds every part open).
  void Suspend() {
    const size_t unread_from = held_ ? static_cast<size_t>(held_line_.data() - buffer_.data())
                                     : start_;
    at_ -= static_cast<int64_t>(buffer_.size() - unread_from);
    if (held_) --line_number_;
    held_ = false;
    std::string().swap(buffer_);
    start_ = 0;
  }

  [[noreturn]] void Fail(const std::string& what) const {
    throw Error("The part \"" + FullPath(path_) + "\" cannot be read: line " +
                std::to_string(line_number_) + ": " + what);
  }

  int64_t Number(std::string_view text) const {
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '9') return text[0] - '0';
    int64_t value = 0;
    if (!ParseDecimal(text, value)) Fail("'" + std::string(text.substr(0, 40)) + "' is no number");
    return value;
  }

  void Text(std::string_view text, std::string& out) const {
    if (!Unescape(text, out)) Fail("a text with a broken escape");
  }

  // The fields of a record that must have `count` of them.
  void Fields(std::string_view line, std::string_view* fields, size_t count) const {
    if (SplitFields(line, fields, count) != count) Fail("a record of too few fields");
  }

  void ReadStatus(const std::string_view* fields, PageStatus& where, RecordState& state,
                  bool& kept) const {
    const int64_t status = Number(fields[0]), record_state = Number(fields[2]);
    if (status > static_cast<int64_t>(quarrow::Status::kUnknown) ||
        record_state > static_cast<int64_t>(RecordState::kUnknown))
      Fail("a status or state out of range");
    where.status = static_cast<quarrow::Status>(status);
    where.wal_frame = Number(fields[1]);
    state = static_cast<RecordState>(record_state);
    kept = Number(fields[3]) != 0;
  }

 private:
  void ReadHead() {
    std::string_view fields[3];
    std::string_view line = NextLineOrFail();
    SplitFields(line, fields, 2);
    if (fields[0] != kMagic)
      throw Error("\"" + FullPath(path_) + "\" is no part of a contacts run (contacts --parts)");
    if (fields[1] != std::to_string(kContactsPartVersion))
      throw Error("\"" + FullPath(path_) + "\" is a part of format version " +
                  std::string(fields[1].substr(0, 20)) + "; this program reads version " +
                  std::to_string(kContactsPartVersion));
    Expect("program", fields, 2);
    Text(fields[1], head_.program);
    Expect("input", fields, 3);
    head_.input_size = Number(fields[1]);
    Text(fields[2], head_.fingerprint);
    Expect("settings", fields, 2);
    Text(fields[1], head_.settings);
    Expect("range", fields, 3);
    head_.first = Number(fields[1]);
    head_.end = Number(fields[2]);
    if (head_.first > head_.end || head_.end > head_.input_size) Fail("a range outside the input");
    Expect("search", fields, 2);
    head_.carries_search = Number(fields[1]) == 1;
  }

  void Expect(std::string_view kind, std::string_view* fields, size_t count) {
    const std::string_view line = NextLineOrFail();
    if (SplitFields(line, fields, count) != count || fields[0] != kind)
      Fail("no " + std::string(kind) + " line");
  }

  void CheckEnd(std::string_view line, const int64_t* counts) {
    std::string_view fields[5];
    Fields(line, fields, 5);
    for (int k = 0; k < kKinds; ++k)
      if (Number(fields[1 + k]) != counts[k]) Fail("its end line counts other records than it holds");
    std::string_view after;
    if (NextLine(after)) Fail("lines after the end line");
  }

  std::string_view NextLineOrFail(const char* missing = "the part ends early") {
    std::string_view line;
    if (!NextLine(line)) Fail(missing);
    return line;
  }

  // The next line, valid until the next call; false at the end of the file.
  bool NextLine(std::string_view& line) {
    for (;;) {
      const size_t end = buffer_.find('\n', start_);
      if (end != std::string::npos) {
        line = std::string_view(buffer_).substr(start_, end - start_);
        start_ = end + 1;
        ++line_number_;
        return true;
      }
      // Keep the line begun, then read on.
      buffer_.erase(0, start_);
      start_ = 0;
      const size_t kept = buffer_.size();
      buffer_.resize(kept + chunk_);
      const size_t got = file_.ReadAt(at_, chunk_, buffer_.data() + kept);
      buffer_.resize(kept + got);
      at_ += static_cast<int64_t>(got);
      if (got == 0) {
        if (!buffer_.empty()) Fail("a line without its end");
        return false;
      }
    }
  }

  Kind KindOf(std::string_view kind) const {
    if (kind == "v") return kValue;
    if (kind == "o") return kOrigin;
    if (kind == "w" || kind == "l" || kind == "c") return kWitness;
    if (kind == "p" || kind == "n") return kPerson;
    Fail("an unknown record");
  }

  std::string path_;
  InputFile file_;
  ContactsPartHead head_;
  std::string buffer_;
  size_t start_ = 0;
  int64_t at_ = 0;  // the file offset the buffer's end came from
  size_t chunk_ = 4096;
  int64_t line_number_ = 0;
  // The line read ahead of the records handled: a kind after the last asked.
  bool held_ = false;
  std::string_view held_line_;
  Kind last_kind_ = kValue;
  int64_t counts_[kKinds] = {};
  bool ended_ = false;
};

// A "p" or "n" line; the row is a view of `line` or, when it holds escapes,
// of `row_text`. The names of a "p" line are taken from its row only when
// `names_needed` (nothing links by names otherwise).
void ReadPerson(const PartReader& reader, std::string_view line, bool names_needed,
                std::string& row_text, PartPerson& person) {
  const bool own_names = line.front() == 'n';
  std::string_view fields[13];
  const size_t count = own_names ? 13 : 9;
  reader.Fields(line, fields, count);
  person.offset = reader.Number(fields[1]);
  person.proven_id = static_cast<int>(std::min<int64_t>(reader.Number(fields[2]), INT32_MAX));
  if (person.proven_id > LabelCells::kMaxId) reader.Fail("a record id out of range");
  reader.ReadStatus(fields + 3, person.where, person.state, person.kept);
  person.copy_key.reset();
  if (fields[7] != "-" && !(person.copy_key = ParseCopyKey(fields[7])))
    reader.Fail("a copy key that is no 32 hex digits");
  const std::string_view row = fields[count - 1];
  if (row.find('\\') == std::string_view::npos) {
    person.row = row;
  } else {
    reader.Text(row, row_text);
    person.row = row_text;
  }
  if (own_names) {
    for (size_t k = 0; k < person.names.size(); ++k) reader.Text(fields[8 + k], person.names[k]);
  } else if (person.proven_id == 0 && names_needed) {
    person.names = RowNames(person.row);
  }
}

void ReadWitness(const PartReader& reader, std::string_view line, SearchEvidence& search) {
  std::string_view fields[9];
  if (line.substr(0, 2) == "l\t") {
    for (char c : line.substr(2)) {
      if (c != '0' && c != '1') reader.Fail("live ids that are no text of 0 and 1");
      search.live_person_ids.push_back(c == '1');
    }
    return;
  }
  reader.Fields(line, fields, 9);
  SearchWitness witness;
  for (size_t k = 0; k < witness.names.size(); ++k) reader.Text(fields[1 + k], witness.names[k]);
  if (fields[5] != "-") witness.docid = reader.Number(fields[5]);
  reader.Text(fields[6], witness.phones);
  reader.Text(fields[7], witness.emails);
  witness.overlong = reader.Number(fields[8]) != 0;
  search.witnesses.push_back(std::move(witness));
}

// Opens every part, checks they belong together and orders them by range;
// with `whole`, they must cover the input from 0 to its end.
std::vector<std::unique_ptr<PartReader>> OpenParts(const std::vector<std::string>& paths,
                                                   bool whole) {
  if (paths.empty()) throw Error("No part to merge");
  std::vector<std::unique_ptr<PartReader>> parts;
  for (const std::string& path : paths) parts.push_back(std::make_unique<PartReader>(path));
  auto name = [](const PartReader& part) {
    std::string quoted(1, '"');
    quoted += FullPath(part.path());
    quoted += '"';
    return quoted;
  };
  const ContactsPartHead& a = parts[0]->head();
  for (size_t k = 1; k < parts.size(); ++k) {
    const ContactsPartHead& b = parts[k]->head();
    const std::string pair = "The parts " + name(*parts[0]) + " and " + name(*parts[k]);
    if (a.input_size != b.input_size || a.fingerprint != b.fingerprint)
      throw Error(pair + " are of different inputs");
    if (a.program != b.program)
      throw Error(pair + " were written by different versions (" + a.program + ", " + b.program + ")");
    if (a.settings != b.settings)
      throw Error(pair + " were written with different options (" + a.settings + "; " +
                  b.settings + ")");
  }
  if (a.program != QUARROW_VERSION)
    throw Error("The part " + name(*parts[0]) + " was written by version " + a.program +
                "; this is version " QUARROW_VERSION);
  std::stable_sort(parts.begin(), parts.end(), [](const auto& x, const auto& y) {
    return x->head().first < y->head().first;
  });
  auto gap = [](int64_t from, int64_t to) {
    return "No part covers bytes " + std::to_string(from) + ":" + std::to_string(to) +
           " of the input: a part is missing";
  };
  int64_t end = parts[0]->head().first;
  if (whole && end != 0) throw Error(gap(0, end));
  for (const auto& part : parts) {
    if (part->head().first < end)
      throw Error("The part " + name(*part) + " and another cover bytes " +
                  std::to_string(part->head().first) + ":" + std::to_string(end) + " both");
    if (part->head().first > end) throw Error(gap(end, part->head().first));
    end = part->head().end;
  }
  if (whole && end != parts[0]->head().input_size)
    throw Error(gap(end, parts[0]->head().input_size));
  return parts;
}

// Writes through a temporary name beside `path`, renamed at the end ("-":
// straight to standard output).
void WriteWhole(const std::string& path, const std::function<void(const std::string&)>& write) {
  if (path == "-") {
    write(path);
    return;
  }
  const std::filesystem::path target(path);
  const std::filesystem::path temporary =
      target.parent_path() / ("." + target.filename().string() + ".writing");
  try {
    write(temporary.string());
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    if (error) throw Error("Cannot write file \"" + FullPath(path) + "\". " + error.message());
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw;
  }
}

bool SettingIs(const std::string& settings, std::string_view name) {
  return settings.find(std::string(name) + "=1") != std::string::npos;
}

// The merge into a part: every part's records, kind by kind.
int64_t MergeIntoPart(std::vector<std::unique_ptr<PartReader>>& parts,
                      const std::string& output_path) {
  if (output_path == "-") throw Error("A part is written to a file, not to standard output");
  ContactsPartHead head = parts.front()->head();
  head.end = parts.back()->head().end;
  head.carries_search = head.first == 0;
  ContactsPartWriter writer(output_path, head);
  // Values, then each id's first origin, then the search records, then persons.
  std::vector<uint8_t> has_origin(LabelCells::kMaxId + 1, 0);
  int64_t persons = 0;
  // Each part is read on from where the last pass left it.
  for (Kind pass : {kValue, kOrigin, kWitness, kPerson}) {
    for (auto& part : parts) {
      part->ReadThrough(pass, [&](Kind kind, std::string_view line) {
        if (kind == kOrigin) {
          std::string_view fields[2];
          SplitFields(line, fields, 2);
          const int64_t id = part->Number(fields[1].substr(0, fields[1].find('\t')));
          if (id > LabelCells::kMaxId) part->Fail("a record id out of range");
          if (has_origin[id]) return;
          has_origin[id] = 1;
        }
        if (kind == kPerson) ++persons;
        writer.Line(line);
      });
      part->Suspend();
    }
  }
  writer.Finish();
  return persons;
}

}  // namespace

std::string InputFingerprint(const std::string& input_path) {
  InputFile input(input_path);
  const int64_t size = input.size();
  Sha256 digest;
  digest.Update(std::to_string(size));
  std::string sample;
  auto take = [&](int64_t at) {
    at = std::clamp<int64_t>(at, 0, std::max<int64_t>(size - kSampleSize, 0));
    sample.resize(static_cast<size_t>(std::min(kSampleSize, size)));
    sample.resize(input.ReadAt(at, sample.size(), sample.data()));
    digest.Update(sample);
  };
  take(0);
  for (int k = 1; k <= kSamplesBetween; ++k) take(size / (kSamplesBetween + 1) * k);
  take(size);
  return digest.HexDigest();
}

std::string ContactsPartSettings(const std::string& offset_text, const RunOptions& options,
                                 bool mapped, bool judged) {
  std::string settings = "offset=" + offset_text;
  settings += ";deleted-only=" + std::string(options.deleted_only ? "1" : "0");
  settings += ";mapped=" + std::string(mapped ? "1" : "0");
  settings += ";judged=" + std::string(judged ? "1" : "0");
  settings += ";schema=" + (options.schema_from.empty() ? std::string("input")
                                                        : InputFingerprint(options.schema_from));
  return settings;
}

ContactsPartWriter::ContactsPartWriter(const std::string& path, const ContactsPartHead& head)
    : path_(path) {
  if (path == "-") throw Error("A part is written to a file, not to standard output");
  const std::filesystem::path target(path);
  temporary_ = (target.parent_path() / ("." + target.filename().string() + ".writing")).string();
  file_ = std::make_unique<OutputFile>(temporary_);
  line_.append(kMagic).append("\t").append(std::to_string(kContactsPartVersion));
  line_.append("\nprogram");
  AppendField(line_, head.program);
  line_.append("\ninput");
  AppendNumber(line_, head.input_size);
  AppendField(line_, head.fingerprint);
  line_.append("\nsettings");
  AppendField(line_, head.settings);
  line_.append("\nrange");
  AppendNumber(line_, head.first);
  AppendNumber(line_, head.end);
  line_.append("\nsearch");
  AppendNumber(line_, head.carries_search ? 1 : 0);
  Emit();
}

ContactsPartWriter::~ContactsPartWriter() {
  if (finished_) return;
  file_.reset();
  std::error_code ignored;
  std::filesystem::remove(temporary_, ignored);
}

void ContactsPartWriter::Emit() {
  line_ += '\n';
  file_->Write(line_);
  line_.clear();
}

void ContactsPartWriter::Value(int64_t offset, int id, int column, std::string_view text) {
  line_ += 'v';
  AppendNumber(line_, offset);
  AppendNumber(line_, id);
  AppendNumber(line_, column);
  AppendField(line_, text, FieldPlace::kLast);
  ++counts_[kValue];
  Emit();
}

void ContactsPartWriter::Origin(int id, const ValueOrigin& origin) {
  line_ += 'o';
  AppendNumber(line_, id);
  AppendStatus(line_, origin.where, origin.state, origin.kept_as_deleted);
  ++counts_[kOrigin];
  Emit();
}

void ContactsPartWriter::Search(const SearchEvidence& search) {
  for (const SearchWitness& witness : search.witnesses) {
    line_ += 'w';
    for (const std::string& name : witness.names) AppendField(line_, name);
    AppendField(line_, witness.docid ? std::to_string(*witness.docid) : "-");
    AppendField(line_, witness.phones);
    AppendField(line_, witness.emails);
    AppendNumber(line_, witness.overlong ? 1 : 0);
    ++counts_[kWitness];
    Emit();
  }
  line_ += "l\t";
  for (uint8_t live : search.live_person_ids) line_ += live ? '1' : '0';
  Emit();
}

void ContactsPartWriter::Copies(const RecordCopies& copies) {
  copies.ForEachCopy([this](const CopyKey& key, int id) {
    line_ += 'c';
    AppendField(line_, CopyKeyText(key));
    AppendNumber(line_, id);
    ++counts_[kWitness];
    Emit();
  });
}

void ContactsPartWriter::Person(const PartPerson& person) {
  // Names are written only when the row's cells do not say them.
  const bool own_names = person.proven_id == 0 && !NamesAreRows(person.names, person.row);
  line_ += own_names ? 'n' : 'p';
  AppendNumber(line_, person.offset);
  AppendNumber(line_, person.proven_id);
  AppendStatus(line_, person.where, person.state, person.kept);
  AppendField(line_, person.copy_key ? CopyKeyText(*person.copy_key) : "-");
  if (own_names)
    for (const std::string& name : person.names) AppendField(line_, name);
  AppendField(line_, person.row, FieldPlace::kLast);
  ++counts_[kPerson];
  Emit();
}

void ContactsPartWriter::Line(std::string_view line) {
  const std::string_view kind = line.substr(0, line.find('\t'));
  if (kind == "v") ++counts_[kValue];
  if (kind == "o") ++counts_[kOrigin];
  if (kind == "w" || kind == "c") ++counts_[kWitness];
  if (kind == "p" || kind == "n") ++counts_[kPerson];
  line_.append(line);
  Emit();
}

void ContactsPartWriter::Finish() {
  line_.append("end");
  for (int64_t count : counts_) AppendNumber(line_, count);
  Emit();
  file_->Close();
  file_.reset();
  std::error_code error;
  std::filesystem::rename(temporary_, path_, error);
  if (error) throw Error("Cannot write file \"" + FullPath(path_) + "\". " + error.message());
  finished_ = true;
}

int64_t MergeParts(const std::vector<std::string>& part_paths, const std::string& output_path,
                   bool to_part, const RunOptions& options,
                   const std::vector<std::string>& column_names) {
  std::vector<std::unique_ptr<PartReader>> parts = OpenParts(part_paths, !to_part);
  if (to_part) return MergeIntoPart(parts, output_path);
  const std::string& settings = parts.front()->head().settings;
  const bool mapped = SettingIs(settings, "mapped");
  if (options.details && (!mapped || !SettingIs(settings, "judged")))
    throw Error("The parts hold no statuses and states: run the shards with --details for a "
                "merged report with --details");
  const bool deleted_only = SettingIs(settings, "deleted-only");
  // The scan phase's findings, filed again in input order as the whole run
  // files them; each id's origin from the first part that has it.
  LabelCells labels;
  std::vector<ValueOrigin> value_origins(LabelCells::kMaxId + 1);
  std::vector<uint8_t> has_origin(LabelCells::kMaxId + 1, 0);
  SearchEvidence search;
  // The whole copies of person records, from every part.
  RecordCopies copies;
  std::string text;
  // Each part is read once: up to its persons here, on from there below.
  for (auto& part : parts) {
    const PartReader& reader = *part;
    part->ReadThrough(kWitness, [&](Kind kind, std::string_view line) {
      std::string_view fields[6];
      switch (kind) {
        case kValue: {
          reader.Fields(line, fields, 5);
          std::string_view value = fields[4];
          if (value.find('\\') != std::string_view::npos) {
            reader.Text(value, text);
            value = text;
          }
          const int64_t id = reader.Number(fields[2]), column = reader.Number(fields[3]);
          if (id > INT32_MAX || column > INT32_MAX) reader.Fail("a value out of range");
          labels.File(static_cast<int>(id), static_cast<int>(column), value,
                      reader.Number(fields[1]));
          return;
        }
        case kOrigin: {
          reader.Fields(line, fields, 6);
          const int64_t id = reader.Number(fields[1]);
          if (id > LabelCells::kMaxId) reader.Fail("a record id out of range");
          ValueOrigin origin;
          reader.ReadStatus(fields + 2, origin.where, origin.state, origin.kept_as_deleted);
          if (has_origin[id]) return;
          has_origin[id] = 1;
          value_origins[id] = origin;
          return;
        }
        case kWitness:
          if (line.front() == 'c') {
            reader.Fields(line, fields, 3);
            const std::optional<CopyKey> key = ParseCopyKey(fields[1]);
            const int64_t id = reader.Number(fields[2]);
            if (!key || id > LabelCells::kMaxId) reader.Fail("a copy that is no key and record id");
            copies.Add(*key, static_cast<int>(id));
          } else if (reader.head().carries_search) {
            ReadWitness(reader, line, search);
          }
          return;
        case kPerson:
        case kKinds:
          return;
      }
    });
    part->Suspend();
  }
  const ValueLinks links = ValueLinks::Resolve(search, labels);
  copies.Seal();
  int64_t rows = 0;
  WriteWhole(output_path, [&](const std::string& to) {
    ContactsReportWriter writer(to, options, column_names);
    ValuePlacement placement(labels, links, options.details);
    std::string status_text, row_text;
    PartPerson person;
    for (auto& part : parts) {
      const PartReader& reader = *part;
      part->ReadThrough(kPerson, [&](Kind kind, std::string_view line) {
        if (kind != kPerson) return;
        ReadPerson(reader, line, placement.links_by_names(), row_text, person);
        const int copy_id =
            person.proven_id == 0 && person.copy_key ? copies.IdOf(*person.copy_key) : 0;
        // A row --deleted-only drops still takes its values.
        const ValuePlacement::Placed& placed =
            placement.ForPerson(person.proven_id, person.names, copy_id);
        if (!person.kept) return;
        status_text.clear();
        if (mapped) AppendStatusText(person.where, status_text);
        const std::string_view state_text =
            options.details ? RecordStateText(person.state) : std::string_view();
        writer.Row(person.row, placed.cells, person.offset, status_text, state_text, placed.links);
      });
      part->Suspend();
    }
    WriteValueOnlyRows(labels, placement, value_origins, deleted_only,
                       [](int64_t offset) { return offset; }, writer);
    writer.Close();
    rows = writer.rows();
  });
  return rows;
}

}  // namespace quarrow
