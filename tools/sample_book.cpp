#include "sample_book.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "sample_invent.h"

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

Journal EffectiveJournal(const SampleOptions& options) {
  if (options.keep_wal) return Journal::kWalOnly;
  if (options.wal) return Journal::kWalCheckpointed;
  if (options.journal != Journal::kLayoutDefault) return options.journal;
  return options.layout == kLayout34 ? Journal::kRollback : Journal::kWal;
}

bool UsesLabelTable(const SampleOptions& options) {
  if (options.labels != Labels::kLayoutDefault) return options.labels == Labels::kTable;
  return options.layout != kLayout34;
}

int DeleteCount(const SampleOptions& options) {
  if (options.delete_percent < 0) return std::max(1, options.persons / 3);
  return static_cast<int>(int64_t{options.persons} * options.delete_percent / 100);
}

namespace {

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
      rc = Bind(stmt, static_cast<int>(i) + 1, values[i]);
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

  int64_t LastRowid() const { return sqlite3_last_insert_rowid(db_); }

  void Close() {
    if (sqlite3_close(db_) != SQLITE_OK) {
      throw std::runtime_error("Cannot close database \"" + path_ + "\": " + sqlite3_errmsg(db_));
    }
    db_ = nullptr;
  }

 private:
  static int Bind(sqlite3_stmt* stmt, int index, const Value& v) {
    if (std::holds_alternative<int64_t>(v)) return sqlite3_bind_int64(stmt, index, std::get<int64_t>(v));
    if (std::holds_alternative<std::string>(v)) {
      const std::string& s = std::get<std::string>(v);
      return sqlite3_bind_text(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    if (std::holds_alternative<Blob>(v)) {
      const std::string& s = std::get<Blob>(v).bytes;
      return sqlite3_bind_blob(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    return sqlite3_bind_null(stmt, index);
  }

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
  if (!IsLayout(options.layout)) {
    throw std::runtime_error("The layout must be 34, 36 or 38, not " +
                             std::to_string(options.layout));
  }
  if (options.delete_percent > 100) {
    throw std::runtime_error("The share of deleted persons must be from 0 to 100 percent, not " +
                             std::to_string(options.delete_percent));
  }
}

// The phone's ab_generate_guid(), which the guid columns' DEFAULT names. The
// generator sets every guid itself; the stand-in only lets the phone's CREATE
// TABLE texts stand as they are and would number a row inserted without one.
void GenerateGuid(sqlite3_context* context, int, sqlite3_value**) {
  auto* counter = static_cast<int64_t*>(sqlite3_user_data(context));
  std::string number = std::to_string(++*counter);
  if (number.size() < 12) number.insert(0, 12 - number.size(), '0');
  const std::string text = "00000000-0000-4000-8000-" + number;
  sqlite3_result_text(context, text.c_str(), -1, SQLITE_TRANSIENT);
}

// The label id of a label name without a label table: the ids 1 to 6 the
// contacts report's columns stand for.
int FixedLabelId(std::string_view text) {
  static const std::map<std::string_view, int> kIds = {
      {"_$!<Mobile>!$_", 1}, {"Mobile", 1}, {"iPhone", 2},  {"_$!<Home>!$_", 3},
      {"Home", 3},           {"_$!<Other>!$_", 4}, {"Other", 4}, {"_$!<Work>!$_", 5},
      {"Work", 5},           {"_$!<WorkFAX>!$_", 6}, {"WorkFAX", 6},
  };
  auto it = kIds.find(text);
  return it == kIds.end() ? kCustomLabelId : it->second;
}

// Label ids in the order labels are first used, the label table growing as a
// phone's does.
class LabelTable {
 public:
  LabelTable(Db& db, bool enabled, std::vector<std::string>& texts)
      : db_(db), enabled_(enabled), texts_(texts) {}

  int IdOf(const std::string& text) {
    if (!enabled_) return FixedLabelId(text);
    auto it = ids_.find(text);
    if (it != ids_.end()) return it->second;
    db_.Run("INSERT INTO ABMultiValueLabel (value) VALUES (?)", {Value(text)});
    const int id = static_cast<int>(db_.LastRowid());
    texts_.push_back(text);
    if (id != static_cast<int>(texts_.size())) {
      throw std::runtime_error("Unexpected label rowid " + std::to_string(id));
    }
    ids_.emplace(text, id);
    return id;
  }

 private:
  Db& db_;
  bool enabled_;
  std::vector<std::string>& texts_;
  std::map<std::string, int> ids_;
};

std::string JoinColumns(const std::vector<std::string>& names, bool quoted) {
  std::string out;
  for (const std::string& name : names) {
    if (!out.empty()) out += ", ";
    out += quoted ? "'" + name + "'" : name;
  }
  return out;
}

std::string Placeholders(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += i == 0 ? "?" : ",?";
  return out;
}

void RemoveOldFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::error_code ignored;
    std::filesystem::remove(path + suffix, ignored);
  }
}

void SetJournal(Db& db, const std::string& path, Journal journal) {
  if (journal == Journal::kRollback) return;
  if (journal != Journal::kWalCheckpointed) {
    // Checkpoints only where the generator asks for them, and none on close.
    db.Exec("PRAGMA wal_autocheckpoint=0");
    sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  }
  if (db.Run("PRAGMA journal_mode=WAL").value_or("") != "wal") {
    throw std::runtime_error("Cannot switch \"" + path + "\" to WAL mode");
  }
}

void CreateTables(Db& db, int layout, bool label_table) {
  db.Exec(PersonTableSql(layout));
  db.Exec(MultiValueTableSql(layout));
  db.Exec("CREATE INDEX ABMultiValueRecord ON ABMultiValue(record_id)");
  if (label_table) db.Exec(LabelTableSql());
  if (layout != kLayout34) db.Exec(SearchContentTableSql(layout));
}

// Writes every person with its values and its search row in one transaction.
void InsertPersons(Db& db, const SampleOptions& options, SampleBook& book, LabelTable& labels) {
  const int layout = options.layout;
  const std::vector<std::string> person_columns = PersonColumns(layout);
  const std::string insert_person = "INSERT INTO ABPerson (" +
                                    JoinColumns(person_columns, false) + ") VALUES (" +
                                    Placeholders(person_columns.size()) + ")";
  const bool value_guid = MultiValueColumnCount(layout) == 7;
  const std::string insert_value =
      std::string("INSERT INTO ABMultiValue (UID, record_id, property, identifier, label, value") +
      (value_guid ? ", guid) VALUES (?,?,?,?,?,?,?)" : ") VALUES (?,?,?,?,?,?)");
  const std::vector<std::string> search_columns = SearchContentColumns(layout);
  const std::string insert_search =
      "INSERT INTO ABPersonFullTextSearch_content (docid, " + JoinColumns(search_columns, true) +
      ") VALUES (" + Placeholders(search_columns.size() + 1) + ")";

  Rng rng(options.seed);
  NameRegistry names;
  // UIDs start where a book with some years of edits would be. (Below 128 the
  // 4-byte freeblock header that SQLite writes over a deleted cell would also
  // cover the record's first serial type; in real books UIDs run high.)
  int64_t next_uid = 1001;
  db.Exec("BEGIN");
  for (int i = 0; i < options.persons; ++i) {
    InventedPerson invented = InventPerson(rng, i + 1, layout, names, next_uid);
    Person& person = invented.person;
    db.Run(insert_person, invented.columns);
    for (MultiValue& mv : person.values) {
      mv.label = labels.IdOf(mv.label_text);
      std::vector<Value> row = {Value(mv.uid), Value(person.rowid), Value(int64_t{mv.property}),
                                Value(int64_t{mv.identifier}), Value(int64_t{mv.label}),
                                Value(mv.value)};
      if (value_guid) row.push_back(Value(mv.guid));
      db.Run(insert_value, row);
    }
    if (!search_columns.empty()) {
      invented.search.insert(invented.search.begin(), Value(person.rowid));
      db.Run(insert_search, invented.search);
    }
    book.persons.push_back(std::move(person));
  }
  db.Exec("COMMIT");
  if (db.Run("SELECT max(ROWID) FROM ABPerson").value_or("") !=
      std::to_string(options.persons)) {
    throw std::runtime_error("Unexpected person rowids");
  }
}

// The persons to delete, in deletion order: Łukasz and Мария (rowids 2 and 3)
// first, Zoë (1) last, the others shuffled.
std::vector<size_t> DeletionOrder(int persons, uint64_t seed) {
  Rng rng(seed ^ 0xDE1E7EDULL);
  std::vector<size_t> order(static_cast<size_t>(persons));
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (size_t i = order.size() - 1; i > 0; --i) {
    std::swap(order[i], order[static_cast<size_t>(rng.Below(static_cast<int>(i) + 1))]);
  }
  auto rank = [](size_t index) { return index == 1 || index == 2 ? 0 : index == 0 ? 2 : 1; };
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return rank(a) < rank(b); });
  return order;
}

// Deletes one person as a phone does, in a transaction of its own: values,
// search row, then the person.
void DeletePerson(Db& db, Person& person, bool search_table) {
  person.deleted = true;
  db.Exec("BEGIN");
  db.Run("DELETE FROM ABMultiValue WHERE record_id = ?", {Value(person.rowid)});
  if (search_table) {
    db.Run("DELETE FROM ABPersonFullTextSearch_content WHERE docid = ?", {Value(person.rowid)});
  }
  db.Run("DELETE FROM ABPerson WHERE ROWID = ?", {Value(person.rowid)});
  db.Exec("COMMIT");
}

}  // namespace

SampleBook MakeSampleBook(const std::string& path, const SampleOptions& options) {
  CheckOptions(options);
  RemoveOldFiles(path);

  SampleBook book;
  book.layout = options.layout;
  book.journal = EffectiveJournal(options);
  book.label_table = UsesLabelTable(options);
  book.seed = options.seed;

  Db db(path);
  int64_t guid_counter = 0;
  if (sqlite3_create_function(db.get(), "ab_generate_guid", 0, SQLITE_UTF8, &guid_counter,
                              GenerateGuid, nullptr, nullptr) != SQLITE_OK) {
    throw std::runtime_error("Cannot register ab_generate_guid on \"" + path + "\"");
  }
  db.Exec("PRAGMA secure_delete=OFF");  // Debian's SQLite zeroes deleted rows otherwise
  db.Exec("PRAGMA synchronous=OFF");
  if (options.page_size != 0) db.Exec("PRAGMA page_size=" + std::to_string(options.page_size));
  SetJournal(db, path, book.journal);
  CreateTables(db, options.layout, book.label_table);

  LabelTable labels(db, book.label_table, book.labels);
  InsertPersons(db, options, book, labels);

  // A phone's WAL is checkpointed now and then; the latest deletions (the last
  // third) are still only in the log when the book is taken.
  const bool phone_wal = book.journal == Journal::kWal;
  if (phone_wal) db.Run("PRAGMA wal_checkpoint(PASSIVE)");
  const std::vector<size_t> order = DeletionOrder(options.persons, options.seed);
  const int to_delete = std::min(DeleteCount(options), options.persons);
  const int checkpointed = to_delete - to_delete / 3;
  for (int k = 0; k < to_delete; ++k) {
    if (phone_wal && k == checkpointed) db.Run("PRAGMA wal_checkpoint(PASSIVE)");
    DeletePerson(db, book.persons[order[static_cast<size_t>(k)]], options.layout != kLayout34);
  }
  db.Close();
  return book;
}

std::string ManifestText(const SampleBook& book) {
  static const char* const kJournalNames[] = {"default", "rollback", "wal", "wal-checkpointed",
                                              "wal-only"};
  std::string out = "# quarrow-make-sample manifest 2\n";
  out += "# layout=" + std::to_string(book.layout) + " seed=" + std::to_string(book.seed) +
         " persons=" + std::to_string(book.persons.size()) +
         " deleted=" + std::to_string(book.DeletedCount()) +
         " journal=" + kJournalNames[static_cast<int>(book.journal)] +
         " labels=" + (book.label_table ? "table" : "fixed") + "\n";
  for (const Person& p : book.persons) {
    out += "person\t" + std::to_string(p.rowid) + '\t' + (p.deleted ? "deleted" : "live") +
           '\t' + p.first + '\t' + p.last + '\t' + p.organization + '\n';
    for (const MultiValue& mv : p.values) {
      out += "value\t" + std::to_string(p.rowid) + '\t' + std::to_string(mv.property) + '\t' +
             mv.label_text + '\t' + mv.value + '\t' + std::to_string(mv.label) + '\t' +
             std::to_string(mv.uid) + '\n';
    }
  }
  return out;
}

}  // namespace quarrow::sample
