#include "contacts/contacts_parts.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string_view>

#include "carve/record_state.h"
#include "contacts/label_cells.h"
#include "contacts/person_pass.h"
#include "contacts/report_writer.h"
#include "contacts/value_links.h"
#include "contacts/value_placement.h"
#include "engine/file_io.h"
#include "report/sha256.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

constexpr std::string_view kMagic = "quarrow-contacts-part";
constexpr int64_t kSampleSize = 64 * 1024;
constexpr int kSamplesBetween = 16;

// --- text fields ------------------------------------------------------------

void AppendEscaped(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (char c : text) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || c == '\\') {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 3 >= text.size() || text[i + 1] != 'x') return false;
    const int high = HexDigit(text[i + 2]), low = HexDigit(text[i + 3]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 3;
  }
  return true;
}

bool ParseNumber(std::string_view text, int64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > static_cast<uint64_t>(INT64_MAX)) return false;
  value = static_cast<int64_t>(number);
  return true;
}

// One line's fields; the last field takes the rest of the line (a row's TABs).
std::vector<std::string_view> Fields(std::string_view line, size_t count) {
  std::vector<std::string_view> fields;
  while (fields.size() + 1 < count) {
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) break;
    fields.push_back(line.substr(0, tab));
    line.remove_prefix(tab + 1);
  }
  fields.push_back(line);
  return fields;
}

// --- lines ------------------------------------------------------------------

void AppendField(std::string& line, std::string_view text) {
  line += '\t';
  AppendEscaped(text, line);
}

void AppendNumber(std::string& line, int64_t number) {
  line += '\t';
  line += std::to_string(number);
}

void AppendStatus(std::string& line, const PageStatus& where, RecordState state, bool kept) {
  AppendNumber(line, static_cast<int>(where.status));
  AppendNumber(line, where.wal_frame);
  AppendNumber(line, static_cast<int>(state));
  AppendNumber(line, kept ? 1 : 0);
}

std::string PartText(const ContactsPart& part) {
  std::string text;
  text.append(kMagic).append("\t").append(std::to_string(kContactsPartVersion)).append("\n");
  text.append("program");
  AppendField(text, part.program);
  text.append("\ninput");
  AppendNumber(text, part.input_size);
  AppendField(text, part.fingerprint);
  text.append("\nsettings");
  AppendField(text, part.settings);
  text.append("\nrange");
  AppendNumber(text, part.first);
  AppendNumber(text, part.end);
  text.append("\nsearch");
  AppendNumber(text, part.carries_search ? 1 : 0);
  text += '\n';
  for (const SearchWitness& witness : part.search.witnesses) {
    text += 'w';
    for (const std::string& name : witness.names) AppendField(text, name);
    AppendField(text, witness.docid ? std::to_string(*witness.docid) : "-");
    AppendField(text, witness.phones);
    AppendField(text, witness.emails);
    AppendNumber(text, witness.overlong ? 1 : 0);
    text += '\n';
  }
  if (part.carries_search) {
    text += "l\t";
    for (uint8_t live : part.search.live_person_ids) text += live ? '1' : '0';
    text += '\n';
  }
  for (const ContactsPart::Value& value : part.values) {
    text += 'v';
    AppendNumber(text, value.offset);
    AppendNumber(text, value.id);
    AppendNumber(text, value.column);
    AppendField(text, value.text);
    text += '\n';
  }
  for (const ContactsPart::Origin& origin : part.origins) {
    text += 'o';
    AppendNumber(text, origin.id);
    AppendStatus(text, origin.origin.where, origin.origin.state, origin.origin.kept_as_deleted);
    text += '\n';
  }
  for (const ContactsPart::Person& person : part.persons) {
    text += 'p';
    AppendNumber(text, person.offset);
    AppendNumber(text, person.proven_id);
    AppendStatus(text, person.where, person.state, person.kept);
    for (const std::string& name : person.names) AppendField(text, name);
    AppendField(text, person.row);
    text += '\n';
  }
  text.append("end");
  AppendNumber(text, static_cast<int64_t>(part.search.witnesses.size()));
  AppendNumber(text, static_cast<int64_t>(part.values.size()));
  AppendNumber(text, static_cast<int64_t>(part.origins.size()));
  AppendNumber(text, static_cast<int64_t>(part.persons.size()));
  text += '\n';
  return text;
}

// Reads one part's lines; `Fail` names the file and line.
class PartReader {
 public:
  PartReader(std::string path, std::string text) : path_(std::move(path)), text_(std::move(text)) {}

  ContactsPart Read() {
    ContactsPart part;
    std::string_view line;
    if (!NextLine(line) || Fields(line, 2)[0] != kMagic)
      throw Error("\"" + FullPath(path_) + "\" is no part of a contacts run (contacts --parts)");
    const auto head = Fields(line, 2);
    if (head.size() != 2 || head[1] != std::to_string(kContactsPartVersion))
      throw Error("\"" + FullPath(path_) + "\" is a part of format version " +
                  std::string(head.size() > 1 ? head[1] : "?") + "; this program reads version " +
                  std::to_string(kContactsPartVersion));
    part.program = Text(Expect("program", 2)[1]);
    auto input = Expect("input", 3);
    part.input_size = Number(input[1]);
    part.fingerprint = Text(input[2]);
    part.settings = Text(Expect("settings", 2)[1]);
    auto range = Expect("range", 3);
    part.first = Number(range[1]);
    part.end = Number(range[2]);
    if (part.first > part.end || part.end > part.input_size) Fail("a range outside the input");
    part.carries_search = Number(Expect("search", 2)[1]) == 1;
    for (;;) {
      if (!NextLine(line)) Fail("no end line: the part is incomplete");
      const auto kind = line.substr(0, line.find('\t'));
      if (kind == "w") ReadWitness(line, part);
      else if (kind == "l") ReadLive(line, part);
      else if (kind == "v") ReadValue(line, part);
      else if (kind == "o") ReadOrigin(line, part);
      else if (kind == "p") ReadPerson(line, part);
      else if (kind == "end") {
        const auto counts = Fields(line, 5);
        if (counts.size() != 5 ||
            Number(counts[1]) != static_cast<int64_t>(part.search.witnesses.size()) ||
            Number(counts[2]) != static_cast<int64_t>(part.values.size()) ||
            Number(counts[3]) != static_cast<int64_t>(part.origins.size()) ||
            Number(counts[4]) != static_cast<int64_t>(part.persons.size()))
          Fail("its end line counts other records than it holds");
        if (NextLine(line)) Fail("lines after the end line");
        return part;
      } else {
        Fail("an unknown record");
      }
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw Error("The part \"" + FullPath(path_) + "\" cannot be read: line " +
                std::to_string(line_number_) + ": " + what);
  }

  bool NextLine(std::string_view& line) {
    if (at_ >= text_.size()) return false;
    const size_t end = text_.find('\n', at_);
    if (end == std::string::npos) Fail("a line without its end");
    line = std::string_view(text_).substr(at_, end - at_);
    at_ = end + 1;
    ++line_number_;
    return true;
  }

  std::vector<std::string_view> Expect(std::string_view kind, size_t count) {
    std::string_view line;
    if (!NextLine(line)) Fail("no " + std::string(kind) + " line");
    auto fields = Fields(line, count);
    if (fields.size() != count || fields[0] != kind) Fail("no " + std::string(kind) + " line");
    return fields;
  }

  int64_t Number(std::string_view text) const {
    int64_t value = 0;
    if (!ParseNumber(text, value)) Fail("'" + std::string(text.substr(0, 40)) + "' is no number");
    return value;
  }

  std::string Text(std::string_view text) const {
    std::string out;
    if (!Unescape(text, out)) Fail("a text with a broken escape");
    return out;
  }

  std::vector<std::string_view> Record(std::string_view line, size_t count) const {
    auto fields = Fields(line, count);
    if (fields.size() != count) Fail("a record of too few fields");
    return fields;
  }

  void ReadStatus(const std::vector<std::string_view>& fields, size_t at, PageStatus& where,
                  RecordState& state, bool& kept) const {
    const int64_t status = Number(fields[at]), record_state = Number(fields[at + 2]);
    if (status > static_cast<int64_t>(Status::kUnknown) ||
        record_state > static_cast<int64_t>(RecordState::kUnknown))
      Fail("a status or state out of range");
    where.status = static_cast<Status>(status);
    where.wal_frame = Number(fields[at + 1]);
    state = static_cast<RecordState>(record_state);
    kept = Number(fields[at + 3]) != 0;
  }

  void ReadWitness(std::string_view line, ContactsPart& part) const {
    const auto fields = Record(line, 9);
    SearchWitness witness;
    for (size_t k = 0; k < witness.names.size(); ++k) witness.names[k] = Text(fields[1 + k]);
    if (fields[5] != "-") witness.docid = Number(fields[5]);
    witness.phones = Text(fields[6]);
    witness.emails = Text(fields[7]);
    witness.overlong = Number(fields[8]) != 0;
    part.search.witnesses.push_back(std::move(witness));
  }

  void ReadLive(std::string_view line, ContactsPart& part) const {
    const auto fields = Record(line, 2);
    for (char c : fields[1]) {
      if (c != '0' && c != '1') Fail("live ids that are no text of 0 and 1");
      part.search.live_person_ids.push_back(c == '1');
    }
  }

  void ReadValue(std::string_view line, ContactsPart& part) const {
    const auto fields = Record(line, 5);
    part.values.push_back({Number(fields[1]), static_cast<int32_t>(Number(fields[2]) & 0x7fffffff),
                           static_cast<int32_t>(Number(fields[3]) & 0x7fffffff), Text(fields[4])});
  }

  void ReadOrigin(std::string_view line, ContactsPart& part) const {
    const auto fields = Record(line, 6);
    ContactsPart::Origin origin;
    origin.id = static_cast<int32_t>(Number(fields[1]));
    if (origin.id < 0 || origin.id > LabelCells::kMaxId) Fail("a record id out of range");
    ReadStatus(fields, 2, origin.origin.where, origin.origin.state, origin.origin.kept_as_deleted);
    part.origins.push_back(origin);
  }

  void ReadPerson(std::string_view line, ContactsPart& part) const {
    const auto fields = Record(line, 12);
    ContactsPart::Person person;
    person.offset = Number(fields[1]);
    person.proven_id = static_cast<int>(Number(fields[2]));
    if (person.proven_id > LabelCells::kMaxId) Fail("a record id out of range");
    ReadStatus(fields, 3, person.where, person.state, person.kept);
    for (size_t k = 0; k < person.names.size(); ++k) person.names[k] = Text(fields[7 + k]);
    person.row = Text(fields[11]);
    part.persons.push_back(std::move(person));
  }

  std::string path_;
  std::string text_;
  size_t at_ = 0;
  int64_t line_number_ = 0;
};

// Writes `text` to `path` through a temporary name beside it ("-": at once).
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
    if (error)
      throw Error("Cannot write file \"" + FullPath(path) + "\". " + error.message());
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw;
  }
}

bool SettingIs(const std::string& settings, std::string_view name) {
  return settings.find(std::string(name) + "=1") != std::string::npos;
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

void WriteContactsPart(const ContactsPart& part, const std::string& path) {
  const std::string text = PartText(part);
  WriteWhole(path, [&text](const std::string& to) {
    OutputFile file(to);
    file.Write(text);
    file.Close();
  });
}

ContactsPart ReadContactsPart(const std::string& path) {
  InputFile file(path);
  std::string text(static_cast<size_t>(file.size()), '\0');
  text.resize(file.ReadAt(0, text.size(), text.data()));
  return PartReader(path, std::move(text)).Read();
}

ContactsPart JoinContactsParts(std::vector<ContactsPart> parts,
                               const std::vector<std::string>& paths, bool whole) {
  if (parts.empty()) throw Error("No part to merge");
  std::vector<size_t> order(parts.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = k;
  auto name = [&](size_t k) { return "\"" + FullPath(paths.at(k)) + "\""; };
  for (size_t k = 1; k < parts.size(); ++k) {
    const ContactsPart& a = parts[0];
    const ContactsPart& b = parts[k];
    if (a.input_size != b.input_size || a.fingerprint != b.fingerprint)
      throw Error("The parts " + name(0) + " and " + name(k) + " are of different inputs");
    if (a.program != b.program)
      throw Error("The parts " + name(0) + " and " + name(k) +
                  " were written by different versions (" + a.program + ", " + b.program + ")");
    if (a.settings != b.settings)
      throw Error("The parts " + name(0) + " and " + name(k) +
                  " were written with different options (" + a.settings + "; " + b.settings + ")");
  }
  if (parts[0].program != QUARROW_VERSION)
    throw Error("The part " + name(0) + " was written by version " + parts[0].program +
                "; this is version " QUARROW_VERSION);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return parts[a].first < parts[b].first;
  });
  auto gap = [](int64_t from, int64_t to) {
    return "No part covers bytes " + std::to_string(from) + ":" + std::to_string(to) +
           " of the input: a part is missing";
  };
  ContactsPart joined = parts[order[0]];
  joined.values.clear();
  joined.origins.clear();
  joined.persons.clear();
  joined.search = {};
  joined.carries_search = false;
  if (whole && joined.first != 0) throw Error(gap(0, joined.first));
  std::vector<uint8_t> has_origin(LabelCells::kMaxId + 1, 0);
  int64_t end = joined.first;
  for (size_t k : order) {
    ContactsPart& part = parts[k];
    if (part.first < end)
      throw Error("The parts " + name(k) + " and another cover bytes " +
                  std::to_string(part.first) + ":" + std::to_string(end) + " both");
    if (part.first > end) throw Error(gap(end, part.first));
    end = part.end;
    for (ContactsPart::Value& value : part.values) joined.values.push_back(std::move(value));
    for (const ContactsPart::Origin& origin : part.origins) {
      if (has_origin[origin.id]) continue;
      has_origin[origin.id] = 1;
      joined.origins.push_back(origin);
    }
    for (ContactsPart::Person& person : part.persons) joined.persons.push_back(std::move(person));
    if (part.carries_search) {
      joined.carries_search = true;
      joined.search = std::move(part.search);
    }
  }
  joined.end = end;
  if (whole && end != joined.input_size) throw Error(gap(end, joined.input_size));
  return joined;
}

int64_t WriteReportFromPart(const ContactsPart& whole, const std::string& output_path,
                            const RunOptions& options,
                            const std::vector<std::string>& column_names) {
  const bool mapped = SettingIs(whole.settings, "mapped");
  if (options.details && (!mapped || !SettingIs(whole.settings, "judged")))
    throw Error("The parts hold no statuses and states: run the shards with --details for a "
                "merged report with --details");
  const bool deleted_only = SettingIs(whole.settings, "deleted-only");
  // The scan phase's findings, filed again in input order: the whole run's.
  LabelCells labels;
  std::vector<ValueOrigin> value_origins(LabelCells::kMaxId + 1);
  for (const ContactsPart::Origin& origin : whole.origins) value_origins[origin.id] = origin.origin;
  for (const ContactsPart::Value& value : whole.values)
    labels.File(value.id, value.column, value.text, value.offset);
  const ValueLinks links = ValueLinks::Resolve(whole.search, labels);
  int64_t rows = 0;
  WriteWhole(output_path, [&](const std::string& to) {
    ContactsReportWriter writer(to, options, column_names);
    ValuePlacement placement(labels, links, options.details);
    std::string status_text;
    for (const ContactsPart::Person& person : whole.persons) {
      const ValuePlacement::Placed& placed = placement.ForPerson(person.proven_id, person.names);
      if (!person.kept) continue;
      status_text.clear();
      if (mapped) AppendStatusText(person.where, status_text);
      const std::string_view state_text =
          options.details ? RecordStateText(person.state) : std::string_view();
      writer.Row(person.row, placed.cells, person.offset, status_text, state_text, placed.links);
    }
    WriteValueOnlyRows(labels, placement, value_origins, deleted_only,
                       [](int64_t offset) { return offset; }, writer);
    writer.Close();
    rows = writer.rows();
  });
  return rows;
}

}  // namespace quarrow
