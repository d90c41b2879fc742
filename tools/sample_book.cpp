#include "sample_book.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <variant>

namespace quarrow::sample {

const char kPersonTableSql[] =
    "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, "
    "Last TEXT, Middle TEXT, FirstPhonetic TEXT, MiddlePhonetic TEXT, "
    "LastPhonetic TEXT, Organization TEXT, Department TEXT, Note TEXT, "
    "Kind INTEGER, Birthday TEXT, JobTitle TEXT, Nickname TEXT, Prefix TEXT, "
    "Suffix TEXT, FirstSort TEXT, LastSort TEXT, CreationDate INTEGER, "
    "ModificationDate INTEGER, CompositeNameFallback TEXT, "
    "ExternalIdentifier TEXT, ExternalModificationTag TEXT, ExternalUUID TEXT, "
    "StoreID INTEGER, DisplayName TEXT, ExternalRepresentation BLOB, "
    "FirstSortSection TEXT, LastSortSection TEXT, "
    "FirstSortLanguageIndex INTEGER DEFAULT 2147483647, "
    "LastSortLanguageIndex INTEGER DEFAULT 2147483647, "
    "PersonLink INTEGER DEFAULT -1, ImageURI TEXT, IsPreferredName INTEGER DEFAULT 1)";

const char kMultiValueTableSql[] =
    "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, "
    "property INTEGER, identifier INTEGER, label INTEGER, value TEXT)";

int SampleBook::DeletedCount() const {
  return static_cast<int>(
      std::count_if(persons.begin(), persons.end(), [](const Person& p) { return p.deleted; }));
}

namespace {

// splitmix64: the same sequence on every platform and standard library.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // A number in [0, n); n > 0.
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
  // True with probability percent / 100.
  bool Chance(int percent) { return Below(100) < percent; }
  template <typename T, size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(static_cast<int>(N))];
  }

 private:
  uint64_t state_;
};

struct Name {
  const char* text;   // UTF-8
  const char* ascii;  // for e-mail addresses and sort keys
};

const Name kFirstNames[] = {
    {"Zoë", "zoe"},           {"Łukasz", "lukasz"},     {"Мария", "maria"},
    {"Anna", "anna"},         {"José", "jose"},         {"Søren", "soren"},
    {"François", "francois"}, {"Jürgen", "juergen"},    {"Ольга", "olga"},
    {"Chloé", "chloe"},       {"Björn", "bjorn"},       {"Siobhán", "siobhan"},
    {"Mehmet", "mehmet"},     {"Yuki", "yuki"},         {"Priya", "priya"},
    {"Thomas", "thomas"},     {"Emma", "emma"},         {"Oliver", "oliver"},
    {"Noah", "noah"},         {"Ingrid", "ingrid"},     {"Dmitri", "dmitri"},
    {"Agnieszka", "agnieszka"}, {"Νίκος", "nikos"},     {"Léa", "lea"},
    {"Mateus", "mateus"},     {"Aoife", "aoife"},       {"Hans", "hans"},
    {"Fatima", "fatima"},     {"Wei", "wei"},           {"Sofía", "sofia"},
};

const Name kLastNames[] = {
    {"Smith", "smith"},       {"Müller", "mueller"},    {"Kowalski", "kowalski"},
    {"Иванова", "ivanova"},   {"García", "garcia"},     {"Nørgaard", "norgaard"},
    {"Dubois", "dubois"},     {"O'Brien", "obrien"},    {"Yılmaz", "yilmaz"},
    {"Tanaka", "tanaka"},     {"Patel", "patel"},       {"Johnson", "johnson"},
    {"Schröder", "schroeder"}, {"Nowak", "nowak"},      {"Петров", "petrov"},
    {"Papadopoulos", "papadopoulos"}, {"Lefèvre", "lefevre"}, {"Santos", "santos"},
    {"Murphy", "murphy"},     {"Lindqvist", "lindqvist"}, {"Chen", "chen"},
    {"Rossi", "rossi"},       {"Novák", "novak"},       {"Kim", "kim"},
};

const char* const kMiddleNames[] = {"Marie", "James", "Ann", "Lee", "Józef"};
const char* const kOrganizations[] = {
    "Acme Ltd",          "Müller & Söhne GmbH",   "Northwind Traders",
    "Café Lumière",      "ООО Ромашка",           "Blue Harbor Logistics",
    "Kowalski i Synowie", "St. Mary's Hospital",  "Initech",
    "Fjord Analytics AS", "Städtische Werke",     "Τράπεζα Αιγαίου",
};
const char* const kDepartments[] = {"Sales", "Engineering", "Accounts", "Radiology",
                                    "Logistik", "Front desk"};
const char* const kJobTitles[] = {"Manager", "Nurse", "Developer", "Accountant",
                                  "Driver", "Teacher", "Geschäftsführer", "Инженер"};
const char* const kNicknames[] = {"Bear", "Zozo", "Łuki", "Mash", "Doc", "Jo"};
const char* const kNotes[] = {
    "Met at the 2019 conference",
    "Gate code 4711\nRing twice",
    "Prefers e-mail",
    "Neighbour \xE2\x80\x93 flat 3B",
    "Allergic to nuts\r\nBirthday party in June",
};
const char* const kPrefixes[] = {"Dr.", "Prof.", "Mrs.", "Mr."};
const char* const kSuffixes[] = {"Jr.", "PhD", "III"};
const char* const kPhoneTemplates[] = {
    "+44 20 7946 0###", "(555) 01#-####",  "+1-202-555-0###", "0151 ### ####",
    "+48 22 ### ## ##", "+7 (495) ###-##-##", "+49 30 ########", "06.##.##.##.##",
    "+33 6 ## ## ## ##", "555####",
};
const char* const kMailDomains[] = {"example.com", "mail.example.org", "post.example.net",
                                    "example.co.uk", "firma.example.de"};
// Label numbers: 1 to 6 name a column; 27 stands for a custom label.
const int kPhoneLabels[] = {1, 1, 1, 2, 2, 3, 3, 4, 5, 5, 6, 27};
const int kEmailLabels[] = {3, 3, 5, 5, 4, 1, 2, 6, 27};

std::string FillDigits(Rng& rng, std::string_view pattern) {
  std::string out(pattern);
  for (char& c : out) {
    if (c == '#') c = static_cast<char>('0' + rng.Below(10));
  }
  return out;
}

std::string Upper(std::string_view ascii) {
  std::string out(ascii);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string Capitalised(std::string_view ascii) {
  std::string out(ascii);
  if (!out.empty()) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  return out;
}

std::string Uuid(Rng& rng) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) out += '-';
    out += kHex[rng.Below(16)];
  }
  return out;
}

std::string RandomBytes(Rng& rng, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += static_cast<char>(rng.Below(256));
  return out;
}

std::string Email(Rng& rng, const Name& first, const Name& last) {
  std::string local;
  switch (rng.Below(4)) {
    case 0: local = std::string(first.ascii) + "." + last.ascii; break;
    case 1: local = std::string(1, first.ascii[0]) + "." + last.ascii; break;
    case 2: local = std::string(first.ascii) + last.ascii + std::to_string(1950 + rng.Below(56)); break;
    default: local = std::string(first.ascii) + "_" + last.ascii; break;
  }
  return local + "@" + rng.Pick(kMailDomains);
}

// A bound value: NULL, an integer, a text or a blob.
struct Blob {
  std::string bytes;
};
using Value = std::variant<std::monostate, int64_t, std::string, Blob>;

Value Text(std::string_view text) { return std::string(text); }
Value TextOrNull(bool present, std::string_view text) {
  return present ? Value(std::string(text)) : Value();
}

// The little of SQLite's C interface the generator needs. Not copyable.
class Db {
 public:
  explicit Db(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
      std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw std::runtime_error("Cannot create database \"" + path + "\": " + reason);
    }
  }
  ~Db() {
    if (db_ != nullptr) sqlite3_close(db_);
  }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  sqlite3* get() const { return db_; }

  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string reason = error != nullptr ? error : sqlite3_errmsg(db_);
      sqlite3_free(error);
      Throw(sql, reason);
    }
  }

  // Runs one statement with `values` bound in order; returns its first result
  // column as text, if it gives a row.
  std::optional<std::string> Run(const std::string& sql, const std::vector<Value>& values = {}) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      Throw(sql, sqlite3_errmsg(db_));
    }
    std::optional<std::string> first;
    int rc = SQLITE_OK;
    for (size_t i = 0; i < values.size() && rc == SQLITE_OK; ++i) {
      const int index = static_cast<int>(i) + 1;
      const Value& v = values[i];
      if (std::holds_alternative<int64_t>(v)) {
        rc = sqlite3_bind_int64(stmt, index, std::get<int64_t>(v));
      } else if (std::holds_alternative<std::string>(v)) {
        const std::string& s = std::get<std::string>(v);
        rc = sqlite3_bind_text(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
      } else if (std::holds_alternative<Blob>(v)) {
        const std::string& s = std::get<Blob>(v).bytes;
        rc = sqlite3_bind_blob(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
      } else {
        rc = sqlite3_bind_null(stmt, index);
      }
    }
    if (rc == SQLITE_OK) {
      while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        if (!first && sqlite3_column_count(stmt) > 0) {
          const unsigned char* text = sqlite3_column_text(stmt, 0);
          first = text != nullptr ? reinterpret_cast<const char*>(text) : "";
        }
      }
    }
    if (rc != SQLITE_DONE) {
      std::string reason = sqlite3_errmsg(db_);
      sqlite3_finalize(stmt);
      Throw(sql, reason);
    }
    sqlite3_finalize(stmt);
    return first;
  }

  void Close() {
    if (sqlite3_close(db_) != SQLITE_OK) {
      throw std::runtime_error("Cannot close database \"" + path_ + "\": " + sqlite3_errmsg(db_));
    }
    db_ = nullptr;
  }

 private:
  [[noreturn]] void Throw(const std::string& sql, const std::string& reason) const {
    throw std::runtime_error("SQLite error in \"" + path_ + "\" [" + sql + "]: " + reason);
  }

  std::string path_;
  sqlite3* db_ = nullptr;
};

void CheckOptions(const SampleOptions& options) {
  if (options.persons < 1 || options.persons > kMaxPersons) {
    throw std::runtime_error("The person count must be from 1 to " +
                             std::to_string(kMaxPersons) + ", not " +
                             std::to_string(options.persons));
  }
  const int p = options.page_size;
  if (p != 0 && (p < 512 || p > 65536 || (p & (p - 1)) != 0)) {
    throw std::runtime_error("The page size must be a power of two from 512 to 65536, not " +
                             std::to_string(p));
  }
}

// Invents person `rowid` with its multi-values; UIDs continue from `next_uid`.
// Returns the 33 values to bind after ROWID.
// The first three persons are always named Zoë, Łukasz and Мария (the first
// entries of kFirstNames) and are never companies.
std::vector<Value> InventPerson(Rng& rng, int64_t rowid, int64_t& next_uid, Person& person) {
  const Name& picked = rng.Pick(kFirstNames);
  const Name& first = rowid <= 3 ? kFirstNames[rowid - 1] : picked;
  const Name& last = rng.Pick(kLastNames);
  const bool is_company = rng.Chance(6) && rowid > 3;
  const bool has_org = is_company || rng.Chance(45);
  const bool synced = rng.Chance(40);  // came from a synced account
  const int64_t created = 300'000'000 + rng.Below(400'000'000);  // seconds since 2001
  const int64_t modified = created + rng.Below(50'000'000);

  person.rowid = rowid;
  person.first = is_company ? "" : first.text;
  person.last = is_company ? "" : last.text;
  person.organization = has_org ? rng.Pick(kOrganizations) : "";

  const bool has_middle = !is_company && rng.Chance(10);
  const bool phonetic = !is_company && rng.Chance(20);
  const bool has_department = has_org && rng.Chance(40);
  const bool has_job = has_org && rng.Chance(50);
  const bool has_note = rng.Chance(12);
  const bool has_birthday = !is_company && rng.Chance(30);
  const bool has_nickname = !is_company && rng.Chance(8);
  const bool has_prefix = !is_company && rng.Chance(6);
  const bool has_suffix = !is_company && rng.Chance(3);
  const std::string first_sort = is_company ? Upper(person.organization) : Upper(first.ascii);
  const std::string last_sort = is_company ? "" : Upper(last.ascii);
  const std::string birthday = std::to_string(-1'000'000'000 + rng.Below(1'000'000'000));
  const std::string uuid = Uuid(rng);

  std::vector<Value> values = {
      TextOrNull(!is_company, person.first),
      TextOrNull(!is_company, person.last),
      TextOrNull(has_middle, rng.Pick(kMiddleNames)),
      TextOrNull(phonetic, Capitalised(first.ascii)),
      Value(),
      TextOrNull(phonetic, Capitalised(last.ascii)),
      TextOrNull(has_org, person.organization),
      TextOrNull(has_department, rng.Pick(kDepartments)),
      TextOrNull(has_note, rng.Pick(kNotes)),
      Value(int64_t{is_company ? 1 : 0}),  // Kind
      TextOrNull(has_birthday, birthday),
      TextOrNull(has_job, rng.Pick(kJobTitles)),
      TextOrNull(has_nickname, rng.Pick(kNicknames)),
      TextOrNull(has_prefix, rng.Pick(kPrefixes)),
      TextOrNull(has_suffix, rng.Pick(kSuffixes)),
      Text(first_sort),
      TextOrNull(!last_sort.empty(), last_sort),
      Value(created),
      Value(modified),
      Value(),  // CompositeNameFallback
      TextOrNull(synced, synced ? Uuid(rng) + ":ABPerson" : ""),
      TextOrNull(synced, synced ? "\"" + std::to_string(rng.Below(1'000'000)) + "\"" : ""),
      Text(uuid),
      synced ? Value(int64_t{1 + rng.Below(3)}) : (rng.Chance(50) ? Value(int64_t{0}) : Value()),
      TextOrNull(is_company, person.organization),  // DisplayName
      synced ? Value(Blob{RandomBytes(rng, 16 + rng.Below(48))}) : Value(),
      Text(first_sort.substr(0, 1)),
      TextOrNull(!last_sort.empty(), last_sort.substr(0, 1)),
      Value(int64_t{rng.Chance(70) ? 0 : 2147483647}),
      Value(int64_t{rng.Chance(70) ? 0 : 2147483647}),
      Value(int64_t{-1}),  // PersonLink
      Value(),             // ImageURI
      Value(int64_t{1}),   // IsPreferredName
  };

  int identifier = 0;
  const int phones = rng.Below(4);  // 0 to 3
  for (int i = 0; i < phones; ++i) {
    person.values.push_back({next_uid++, kPhone, identifier++, rng.Pick(kPhoneLabels),
                             FillDigits(rng, rng.Pick(kPhoneTemplates))});
  }
  const int emails = is_company ? rng.Below(2) : rng.Below(3);  // 0 to 2
  for (int i = 0; i < emails; ++i) {
    std::string address;
    for (int attempt = 0; attempt < 4; ++attempt) {  // avoid the same address twice
      address = is_company ? std::string(rng.Chance(50) ? "info@" : "office@") +
                                 rng.Pick(kMailDomains)
                           : Email(rng, first, last);
      const bool seen = std::any_of(person.values.begin(), person.values.end(),
                                    [&](const MultiValue& mv) { return mv.value == address; });
      if (!seen) break;
    }
    person.values.push_back({next_uid++, kEmail, identifier++, rng.Pick(kEmailLabels), address});
  }
  if (rng.Chance(15)) {  // a home page: ":" and "/" make it implausible as a value
    person.values.push_back({next_uid++, kUrl, identifier++, 5,
                             std::string("https://www.example.com/~") + last.ascii});
  }
  return values;
}

}  // namespace

SampleBook MakeSampleBook(const std::string& path, const SampleOptions& options) {
  CheckOptions(options);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::error_code ignored;
    std::filesystem::remove(path + suffix, ignored);
  }

  Db db(path);
  db.Exec("PRAGMA secure_delete=OFF");  // Debian's SQLite zeroes deleted rows otherwise
  db.Exec("PRAGMA synchronous=OFF");
  if (options.page_size != 0) db.Exec("PRAGMA page_size=" + std::to_string(options.page_size));
  if (options.wal || options.keep_wal) {
    if (options.keep_wal) {
      db.Exec("PRAGMA wal_autocheckpoint=0");
      sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }
    if (db.Run("PRAGMA journal_mode=WAL").value_or("") != "wal") {
      throw std::runtime_error("Cannot switch \"" + path + "\" to WAL mode");
    }
  }
  db.Exec(kPersonTableSql);
  db.Exec(kMultiValueTableSql);
  db.Exec("CREATE INDEX ABMultiValueRecord ON ABMultiValue(record_id)");

  Rng rng(options.seed);
  SampleBook book;
  book.persons.resize(static_cast<size_t>(options.persons));
  // UIDs start where a book with some years of edits would be. (Below 128 the
  // 4-byte freeblock header that SQLite writes over a deleted cell would also
  // cover the record's first serial type; in real books UIDs run high.)
  int64_t next_uid = 1001;

  const std::string insert_person =
      "INSERT INTO ABPerson (First, Last, Middle, FirstPhonetic, MiddlePhonetic, "
      "LastPhonetic, Organization, Department, Note, Kind, Birthday, JobTitle, Nickname, "
      "Prefix, Suffix, FirstSort, LastSort, CreationDate, ModificationDate, "
      "CompositeNameFallback, ExternalIdentifier, ExternalModificationTag, ExternalUUID, "
      "StoreID, DisplayName, ExternalRepresentation, FirstSortSection, LastSortSection, "
      "FirstSortLanguageIndex, LastSortLanguageIndex, PersonLink, ImageURI, IsPreferredName) "
      "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
  const std::string insert_value =
      "INSERT INTO ABMultiValue (UID, record_id, property, identifier, label, value) "
      "VALUES (?,?,?,?,?,?)";

  db.Exec("BEGIN");
  for (int i = 0; i < options.persons; ++i) {
    Person& person = book.persons[static_cast<size_t>(i)];
    const std::vector<Value> values = InventPerson(rng, i + 1, next_uid, person);
    db.Run(insert_person, values);
    for (const MultiValue& mv : person.values) {
      db.Run(insert_value, {Value(mv.uid), Value(person.rowid), Value(int64_t{mv.property}),
                            Value(int64_t{mv.identifier}), Value(int64_t{mv.label}),
                            Text(mv.value)});
    }
  }
  db.Exec("COMMIT");
  if (db.Run("SELECT max(ROWID) FROM ABPerson").value_or("") !=
      std::to_string(options.persons)) {
    throw std::runtime_error("Unexpected person rowids in \"" + path + "\"");
  }

  // Delete a third (at least one), picked at random, one person per
  // transaction as a phone would: its values first, then the person. Łukasz
  // and Мария (rowids 2 and 3) are always among them; Zoë (1) never is.
  std::vector<int> order(static_cast<size_t>(options.persons));
  for (int i = 0; i < options.persons; ++i) order[static_cast<size_t>(i)] = i;
  for (int i = options.persons - 1; i > 0; --i) {
    std::swap(order[static_cast<size_t>(i)], order[static_cast<size_t>(rng.Below(i + 1))]);
  }
  auto rank = [](int index) { return index == 1 || index == 2 ? 0 : index == 0 ? 2 : 1; };
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return rank(a) < rank(b); });
  if (options.persons == 1) order[0] = 0;
  const int to_delete = std::max(1, options.persons / 3);
  for (int k = 0; k < to_delete; ++k) {
    Person& person = book.persons[static_cast<size_t>(order[static_cast<size_t>(k)])];
    person.deleted = true;
    db.Exec("BEGIN");
    db.Run("DELETE FROM ABMultiValue WHERE record_id = ?", {Value(person.rowid)});
    db.Run("DELETE FROM ABPerson WHERE ROWID = ?", {Value(person.rowid)});
    db.Exec("COMMIT");
  }
  db.Close();
  return book;
}

std::string ManifestText(const SampleBook& book) {
  std::string out = "# rowid\tFirst\tLast\tOrganization\tphones\temails\n";
  for (const Person& p : book.persons) {
    if (!p.deleted) continue;
    std::string phones;
    std::string emails;
    for (const MultiValue& mv : p.values) {
      std::string* list = mv.property == kPhone ? &phones : mv.property == kEmail ? &emails : nullptr;
      if (list == nullptr) continue;
      if (!list->empty()) *list += ',';
      *list += std::to_string(mv.label) + ":" + mv.value;
    }
    out += std::to_string(p.rowid) + '\t' + p.first + '\t' + p.last + '\t' + p.organization +
           '\t' + phones + '\t' + emails + '\n';
  }
  return out;
}

}  // namespace quarrow::sample
