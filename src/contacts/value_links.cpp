#include "contacts/value_links.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "text_rule/text_rule.h"

namespace quarrow {

namespace {

// The longest number a run of words is tried for: E.164 numbers have at most
// 15 digits; extensions and prefixes take a few more.
constexpr size_t kMaxNumberDigits = 24;
// Fewer digits than this are no number to link by.
constexpr size_t kMinNumberDigits = 3;
constexpr int kEmailColumnsFrom = LabelCells::kFirstColumn + 7;

// The words of `text`, split at spaces and control bytes; false when there
// are more than kMaxWitnessWords.
bool WordsOf(std::string_view text, std::vector<std::string_view>& words) {
  words.clear();
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && static_cast<unsigned char>(text[at]) <= ' ') ++at;
    const size_t begin = at;
    while (at < text.size() && static_cast<unsigned char>(text[at]) > ' ') ++at;
    if (at > begin) {
      if (words.size() == kMaxWitnessWords) return false;
      words.push_back(text.substr(begin, at - begin));
    }
  }
  return true;
}

// A word a number may be written with: digits, '+', brackets, dashes, dots,
// slashes; at least one digit.
bool IsNumberWord(std::string_view word) {
  bool digit = false;
  for (char c : word) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (std::string_view("+()-./").find(c) == std::string_view::npos) {
      return false;
    }
  }
  return digit;
}

std::string Lowered(std::string_view text) {
  std::string out(Trim(text));
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The key a value is found by: "t" and its digits for a number, "e" and the
// address case folded for an e-mail; empty when it has none.
std::string NumberKey(std::string_view digits) {
  if (digits.size() < kMinNumberDigits || digits.size() > kMaxNumberDigits) return {};
  return "t" + std::string(digits);
}
std::string EmailKey(std::string_view address) {
  std::string lowered = Lowered(address);
  if (lowered.find('@') == std::string::npos) return {};
  return "e" + lowered;
}
std::string KeyOf(const LabelCells::Item& item) {
  return IsEmailColumn(item.column) ? EmailKey(item.text) : NumberKey(NumberDigits(item.text));
}

// The keys a witness lists: every run of number words whose digits could be
// a number, every e-mail word. False when its texts have too many words.
bool KeysOf(const SearchWitness& witness, std::vector<std::string>& keys) {
  keys.clear();
  if (witness.overlong) return false;
  std::vector<std::string_view> words;
  if (!WordsOf(witness.phones, words)) return false;
  for (size_t start = 0; start < words.size(); ++start) {
    std::string digits;
    for (size_t end = start; end < words.size() && IsNumberWord(words[end]); ++end) {
      digits += NumberDigits(words[end]);
      if (digits.size() > kMaxNumberDigits) break;
      if (std::string key = NumberKey(digits); !key.empty()) keys.push_back(std::move(key));
    }
  }
  if (!WordsOf(witness.emails, words)) return false;
  for (std::string_view word : words)
    if (std::string key = EmailKey(word); !key.empty()) keys.push_back(std::move(key));
  return true;
}

bool IsLiveId(const SearchEvidence& evidence, int64_t id) {
  return id >= 1 && static_cast<size_t>(id) < evidence.live_person_ids.size() &&
         evidence.live_person_ids[static_cast<size_t>(id)] != 0;
}

}  // namespace

std::string_view LinkKindText(LinkKind kind) {
  switch (kind) {
    case LinkKind::kRowid: return "rowid";
    case LinkKind::kSearchIndex: return "search-index";
    case LinkKind::kCopy: return "copy";
    case LinkKind::kNone: break;
  }
  return "";
}

std::string NumberDigits(std::string_view number) {
  std::string out;
  for (char c : number)
    if (c >= '0' && c <= '9') out += c;
  return out;
}

bool IsEmailColumn(int column) { return column >= kEmailColumnsFrom; }

ValueLinks ValueLinks::Resolve(const SearchEvidence& evidence, const LabelCells& labels) {
  ValueLinks links;
  if (evidence.witnesses.empty()) return links;
  // The values that may link, by key; a live person's go by rowid.
  std::unordered_map<std::string, std::vector<ValueRef>> values;
  for (int id : labels.ids_in_order()) {
    if (IsLiveId(evidence, id)) continue;
    const std::vector<LabelCells::Item>& items = labels.Items(id);
    for (size_t k = 0; k < items.size(); ++k)
      if (std::string key = KeyOf(items[k]); !key.empty())
        values[key].push_back({id, static_cast<int>(k)});
  }
  if (values.empty()) return links;
  // Each name's claim: the values its records list, all of one id; and who
  // claims each id and each value, whatever else their records list.
  struct Claim {
    int id = 0;
    std::set<std::pair<int, int>> items;
  };
  std::map<PersonNames, Claim> claims;
  std::set<PersonNames> void_names;
  std::map<int, std::set<PersonNames>> names_of_id;
  std::map<std::pair<int, int>, std::set<PersonNames>> names_of_item;
  std::vector<std::string> keys;
  for (const SearchWitness& witness : evidence.witnesses) {
    if (witness.docid && IsLiveId(evidence, *witness.docid)) continue;
    if (!KeysOf(witness, keys)) {
      // Too many words: these names prove nothing.
      void_names.insert(witness.names);
      continue;
    }
    std::set<int> ids;
    std::set<std::pair<int, int>> items;
    for (const std::string& key : keys) {
      auto found = values.find(key);
      if (found == values.end()) continue;
      for (const ValueRef& ref : found->second) {
        ids.insert(ref.id);
        items.emplace(ref.id, ref.item);
      }
    }
    for (int id : ids) names_of_id[id].insert(witness.names);
    for (const auto& item : items) names_of_item[item].insert(witness.names);
    if (ids.empty()) continue;  // lists nothing filed: says nothing
    Claim& claim = claims[witness.names];
    // Values of several ids, or of another id than the names' other
    // records: these names are not one person's.
    if (ids.size() != 1 || (claim.id != 0 && claim.id != *ids.begin())) {
      void_names.insert(witness.names);
      continue;
    }
    claim.id = *ids.begin();
    claim.items.insert(items.begin(), items.end());
  }
  // Only what one name alone claims: an id or a value claimed under two
  // names is no one's.
  for (const auto& [names, claim] : claims) {
    if (void_names.count(names) || names_of_id[claim.id].size() != 1) continue;
    std::vector<ValueRef> refs;
    for (const auto& [id, item] : claim.items)
      if (names_of_item[{id, item}].size() == 1) refs.push_back({id, item});
    if (!refs.empty()) links.by_names_.emplace(names, std::move(refs));
  }
  return links;
}

const std::vector<ValueRef>* ValueLinks::Of(const PersonNames& names) const {
  auto it = by_names_.find(names);
  return it == by_names_.end() ? nullptr : &it->second;
}

size_t ValueLinks::size() const {
  size_t count = 0;
  for (const auto& [names, refs] : by_names_) count += refs.size();
  return count;
}

}  // namespace quarrow
