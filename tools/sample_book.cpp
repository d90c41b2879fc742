#include "sample_book.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "repeatable_sqlite.h"
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

// Where the person columns that the manifest keeps lie among the columns
// after ROWID (SharedPersonColumns).
constexpr size_t kCreationDateColumn = 17;
constexpr size_t kModificationDateColumn = 18;
constexpr size_t kExternalUuidColumn = 22;

// The little of SQLite's C interface the generator needs. Not copyable.
class Db {
 public:
  explicit Db(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        RepeatableSqliteVfs()) != SQLITE_OK) {
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
  if (options.edit_percent < 0 || options.edit_percent > 100) {
    throw std::runtime_error("The share of edited persons must be from 0 to 100 percent, not " +
                             std::to_string(options.edit_percent));
  }
  if (options.upgrade_from != 0 &&
      (!IsLayout(options.upgrade_from) || options.upgrade_from >= options.layout)) {
    throw std::runtime_error("A book upgraded to layout " + std::to_string(options.layout) +
                             " begins in an older one, not " +
                             std::to_string(options.upgrade_from));
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

// The tables of a book written in `layout` (the person and multi-value
// tables), whose search index has the columns of `search_layout`.
void CreateTables(Db& db, int layout, int search_layout, bool label_table) {
  db.Exec(PersonTableSql(layout));
  db.Exec(MultiValueTableSql(layout));
  db.Exec("CREATE INDEX ABMultiValueRecord ON ABMultiValue(record_id)");
  if (label_table) db.Exec(LabelTableSql());
  if (search_layout != kLayout34) db.Exec(SearchContentTableSql(search_layout));
}

// What the persons are invented from, carried from one batch of them to the
// next.
struct Invention {
  explicit Invention(uint64_t seed) : rng(seed) {}
  Rng rng;
  NameRegistry names;
  // UIDs start where a book with some years of edits would be. (Below 128 the
  // 4-byte freeblock header that SQLite writes over a deleted cell would also
  // cover the record's first serial type; in real books UIDs run high.)
  int64_t next_uid = 1001;
};

// Writes persons `first` to `last` - 1 (0-based) as `layout` stores them, each
// with its values and its search row (when `search_layout` has an index), in
// one transaction.
void InsertPersons(Db& db, int first, int last, int layout, int search_layout,
                   Invention& invention, SampleBook& book, LabelTable& labels) {
  const std::vector<std::string> person_columns = PersonColumns(layout);
  const std::string insert_person = "INSERT INTO ABPerson (" +
                                    JoinColumns(person_columns, false) + ") VALUES (" +
                                    Placeholders(person_columns.size()) + ")";
  const bool value_guid = MultiValueColumnCount(layout) == 7;
  const std::string insert_value =
      std::string("INSERT INTO ABMultiValue (UID, record_id, property, identifier, label, value") +
      (value_guid ? ", guid) VALUES (?,?,?,?,?,?,?)" : ") VALUES (?,?,?,?,?,?)");
  const std::vector<std::string> search_columns =
      layout == kLayout34 ? std::vector<std::string>() : SearchContentColumns(search_layout);
  const std::string insert_search =
      "INSERT INTO ABPersonFullTextSearch_content (docid, " + JoinColumns(search_columns, true) +
      ") VALUES (" + Placeholders(search_columns.size() + 1) + ")";

  db.Exec("BEGIN");
  for (int i = first; i < last; ++i) {
    InventedPerson invented =
        InventPerson(invention.rng, i + 1, layout, invention.names, invention.next_uid);
    Person& person = invented.person;
    person.layout = layout;
    person.created = std::get<int64_t>(invented.columns[kCreationDateColumn]);
    person.modified = std::get<int64_t>(invented.columns[kModificationDateColumn]);
    person.external_uuid = std::get<std::string>(invented.columns[kExternalUuidColumn]);
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
  if (db.Run("SELECT seq FROM sqlite_sequence WHERE name = 'ABPerson'").value_or("") !=
      std::to_string(last)) {
    throw std::runtime_error("Unexpected person rowids");
  }
}

// Rebuilds the person table, and the multi-value table when it grows too,
// with the columns of `layout`, as a phone's software update does: a new
// table, the rows copied, the old table dropped, the new one renamed. The new
// tables are filled before the old ones are dropped, so that the old tables'
// pages stay as they were, freed. The person rowids go on from where they
// were (AUTOINCREMENT's counter is kept), so that no rowid of a deleted person
// comes back.
void UpgradeTables(Db& db, int from, int layout) {
  auto renamed = [](std::string sql, const std::string& table) {
    const std::string name = "CREATE TABLE " + table + " (";
    return sql.replace(0, name.size(), "CREATE TABLE " + table + "_new (");
  };
  const bool values_grow = MultiValueColumnCount(from) != MultiValueColumnCount(layout);
  db.Exec("BEGIN");
  const std::string counter =
      db.Run("SELECT seq FROM sqlite_sequence WHERE name = 'ABPerson'").value_or("0");
  const std::string person_columns = JoinColumns(PersonColumns(from), false);
  db.Exec(renamed(PersonTableSql(layout), "ABPerson"));
  db.Exec("INSERT INTO ABPerson_new (ROWID, " + person_columns + ") SELECT ROWID, " +
          person_columns + " FROM ABPerson");
  if (values_grow) {
    const std::string value_columns = "UID, record_id, property, identifier, label, value";
    db.Exec(renamed(MultiValueTableSql(layout), "ABMultiValue"));
    db.Exec("INSERT INTO ABMultiValue_new (" + value_columns + ") SELECT " + value_columns +
            " FROM ABMultiValue");
    db.Exec("DROP INDEX ABMultiValueRecord");
    db.Exec("CREATE INDEX ABMultiValueRecord ON ABMultiValue_new(record_id)");
  }
  db.Exec("DROP TABLE ABPerson");
  db.Exec("ALTER TABLE ABPerson_new RENAME TO ABPerson");
  if (values_grow) {
    db.Exec("DROP TABLE ABMultiValue");
    db.Exec("ALTER TABLE ABMultiValue_new RENAME TO ABMultiValue");
  }
  db.Run("UPDATE sqlite_sequence SET seq = ? WHERE name = 'ABPerson'",
         {Value(static_cast<int64_t>(std::stoll(counter)))});
  db.Exec("COMMIT");
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

// When what happens to a book's persons happens: the first batch written
// (all of them, or all but one in twenty, written before an upgrade), the deletions in
// order (those before the upgrade first), and the edits of persons that stay,
// half before the deletions and half after.
struct History {
  int first_batch = 0;
  std::vector<size_t> deletions;  // indexes into the persons, in deletion order
  int deleted_before_upgrade = 0;
  std::vector<size_t> edits_before, edits_after;
};

History PlanHistory(const SampleOptions& options) {
  History history;
  const bool upgrade = options.upgrade_from != 0;
  // An upgrade comes when most of the book is written: the persons written
  // after it take over the older table's freed pages first, and a phone
  // writes few.
  history.first_batch = upgrade ? options.persons - options.persons / 20 : options.persons;
  const std::vector<size_t> order = DeletionOrder(options.persons, options.seed);
  const size_t to_delete =
      static_cast<size_t>(std::min(DeleteCount(options), options.persons));
  std::vector<size_t> deletions(order.begin(), order.begin() + static_cast<ptrdiff_t>(to_delete));
  if (upgrade) {
    // Half the deleted persons written before the upgrade (at least one) are
    // deleted before it, in their order.
    std::vector<size_t> early;
    for (size_t index : deletions)
      if (index < static_cast<size_t>(history.first_batch)) early.push_back(index);
    early.resize(early.empty() ? 0 : std::max<size_t>(1, early.size() / 2));
    history.deleted_before_upgrade = static_cast<int>(early.size());
    for (size_t index : deletions)
      if (std::find(early.begin(), early.end(), index) == early.end()) early.push_back(index);
    deletions = early;
  }
  history.deletions = deletions;
  // The persons that stay, in a seeded order; the share edited.
  std::vector<size_t> staying;
  for (size_t i = 0; i < static_cast<size_t>(options.persons); ++i)
    if (std::find(deletions.begin(), deletions.end(), i) == deletions.end()) staying.push_back(i);
  Rng rng(options.seed ^ 0xED17ULL);
  for (size_t i = staying.size(); i > 1; --i)
    std::swap(staying[i - 1], staying[static_cast<size_t>(rng.Below(static_cast<int>(i)))]);
  size_t edits = staying.size() * static_cast<size_t>(options.edit_percent) / 100;
  if (options.edit_percent > 0 && edits == 0 && !staying.empty()) edits = 1;
  for (size_t k = 0; k < edits; ++k) {
    // Before the deletions only persons already written can be edited.
    const bool early = k < edits / 2 && staying[k] < static_cast<size_t>(history.first_batch);
    (early ? history.edits_before : history.edits_after).push_back(staying[k]);
  }
  std::sort(history.edits_before.begin(), history.edits_before.end());
  std::sort(history.edits_after.begin(), history.edits_after.end());
  return history;
}

// Edits a person who stays, as a phone does, in a transaction of its own: a
// new ModificationDate, and a new number in place of one of its phone numbers
// (USSD codes aside), when it has one.
void EditPerson(Db& db, Person& person, Rng& rng) {
  Edit edit;
  edit.old_modified = person.modified;
  edit.new_modified = person.modified + 1 + rng.Below(5'000'000);
  db.Exec("BEGIN");
  db.Run("UPDATE ABPerson SET ModificationDate = ? WHERE ROWID = ?",
         {Value(edit.new_modified), Value(person.rowid)});
  for (MultiValue& mv : person.values) {
    if (mv.property != kPhone || IsUssd(mv.value)) continue;
    edit.uid = mv.uid;
    edit.old_number = mv.value;
    edit.new_number = NewPhoneNumber(rng, person);
    db.Run("UPDATE ABMultiValue SET value = ? WHERE UID = ?",
           {Value(edit.new_number), Value(mv.uid)});
    mv.value = edit.new_number;
    break;
  }
  db.Exec("COMMIT");
  person.modified = edit.new_modified;
  person.edits.push_back(std::move(edit));
}

// Damages the schema text in the database file (its WAL, when any, is left as
// it is): bytes no SQL text holds written over part of it, wherever the file
// holds it.
void DamageSchema(const std::string& path, SchemaDamage damage) {
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) throw std::runtime_error("Cannot read \"" + path + "\"");
  }
  // The person table's text names it quoted once it was renamed.
  const std::vector<std::string> texts =
      damage == SchemaDamage::kPerson
          ? std::vector<std::string>{"CREATE TABLE ABPerson (", "CREATE TABLE \"ABPerson\" ("}
          : std::vector<std::string>{"CREATE INDEX ABMultiValueRecord ON "};
  int damaged = 0;
  for (const std::string& text : texts) {
    for (size_t at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1)) {
      // Three bytes inside the column list: SQLite refuses the schema.
      bytes.replace(at + text.size() + 2, 3, std::string("\x00\x01\x02", 3));
      ++damaged;
    }
  }
  if (damaged == 0) throw std::runtime_error("No schema text to damage in \"" + path + "\"");
  std::ofstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("Cannot write \"" + path + "\"");
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
  book.upgraded_from = options.upgrade_from;
  book.journal = EffectiveJournal(options);
  book.label_table = UsesLabelTable(options);
  book.seed = options.seed;
  const int first_layout = options.upgrade_from != 0 ? options.upgrade_from : options.layout;

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
  CreateTables(db, first_layout, options.layout, book.label_table);

  LabelTable labels(db, book.label_table, book.labels);
  Invention invention(options.seed);
  const History history = PlanHistory(options);
  InsertPersons(db, 0, history.first_batch, first_layout, options.layout, invention, book,
                labels);

  // A phone's WAL is checkpointed now and then; the latest deletions (the last
  // third) and edits are still only in the log when the book is taken.
  const bool phone_wal = book.journal == Journal::kWal;
  if (phone_wal) db.Run("PRAGMA wal_checkpoint(PASSIVE)");
  Rng edit_rng(options.seed ^ 0xED17EDULL);
  for (size_t index : history.edits_before) EditPerson(db, book.persons[index], edit_rng);
  const bool search_table = options.layout != kLayout34;
  auto upgrade = [&] {
    UpgradeTables(db, first_layout, options.layout);
    for (Person& person : book.persons)
      if (!person.deleted) person.layout = options.layout;
    InsertPersons(db, history.first_batch, options.persons, options.layout, options.layout,
                  invention, book, labels);
  };
  const int to_delete = static_cast<int>(history.deletions.size());
  const int checkpointed = to_delete - to_delete / 3;
  for (int k = 0; k < to_delete; ++k) {
    if (options.upgrade_from != 0 && k == history.deleted_before_upgrade) upgrade();
    if (phone_wal && k == checkpointed) db.Run("PRAGMA wal_checkpoint(PASSIVE)");
    DeletePerson(db, book.persons[history.deletions[static_cast<size_t>(k)]], search_table);
  }
  if (options.upgrade_from != 0 && to_delete <= history.deleted_before_upgrade) upgrade();
  for (size_t index : history.edits_after) EditPerson(db, book.persons[index], edit_rng);
  db.Close();
  if (options.damage != SchemaDamage::kNone) DamageSchema(path, options.damage);
  return book;
}

std::string ManifestText(const SampleBook& book) {
  static const char* const kJournalNames[] = {"default", "rollback", "wal", "wal-checkpointed",
                                              "wal-only"};
  std::string out = "# quarrow-make-sample manifest 3\n";
  out += "# layout=" + std::to_string(book.layout) + " seed=" + std::to_string(book.seed) +
         " persons=" + std::to_string(book.persons.size()) +
         " deleted=" + std::to_string(book.DeletedCount()) +
         " journal=" + kJournalNames[static_cast<int>(book.journal)] +
         " labels=" + (book.label_table ? "table" : "fixed");
  if (book.upgraded_from != 0) out += " upgraded-from=" + std::to_string(book.upgraded_from);
  out += "\n";
  for (const Person& p : book.persons) {
    out += "person\t" + std::to_string(p.rowid) + '\t' + (p.deleted ? "deleted" : "live") +
           '\t' + p.first + '\t' + p.last + '\t' + p.organization + '\t' +
           std::to_string(p.layout) + '\t' + std::to_string(p.created) + '\t' +
           std::to_string(p.modified) + '\t' + p.external_uuid + '\n';
    for (const MultiValue& mv : p.values) {
      out += "value\t" + std::to_string(p.rowid) + '\t' + std::to_string(mv.property) + '\t' +
             mv.label_text + '\t' + mv.value + '\t' + std::to_string(mv.label) + '\t' +
             std::to_string(mv.uid) + '\n';
    }
    for (const Edit& edit : p.edits) {
      out += "edit\t" + std::to_string(p.rowid) + '\t' + std::to_string(edit.old_modified) +
             '\t' + std::to_string(edit.new_modified) + '\t' + std::to_string(edit.uid) + '\t' +
             edit.old_number + '\t' + edit.new_number + '\n';
    }
  }
  return out;
}

}  // namespace quarrow::sample
