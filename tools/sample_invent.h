// Invents the sample address book's persons: names, organisations, phone
// numbers, e-mail addresses and the values of every person column, from a
// seeded generator. No SQLite here: sample_book.cpp stores what this invents.
// Not thread-safe (a generator and a registry belong to one book).
#ifndef QUARROW_TOOLS_SAMPLE_INVENT_H_
#define QUARROW_TOOLS_SAMPLE_INVENT_H_

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "sample_book.h"

namespace quarrow::sample {

// splitmix64: the same sequence on every platform and standard library.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next();
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

// A value bound to a statement: NULL, an integer, a text or a blob.
struct Blob {
  std::string bytes;
};
using Value = std::variant<std::monostate, int64_t, std::string, Blob>;

// The names given so far in one book: a person's (First, Last) and a company's
// organisation are unique in it, so that a name identifies its person.
struct NameRegistry {
  std::set<std::pair<std::string, std::string>> persons;
  std::set<std::string> companies;
};

struct InventedPerson {
  Person person;              // rowid, names, guid and values (labels by text only)
  std::vector<Value> columns; // the person columns after ROWID, PersonColumns(layout) order
  std::vector<Value> search;  // the search content row after docid; empty on 34
};

// Invents person `rowid` for `layout`; its multi-value UIDs continue from
// `next_uid`. The first three persons are always named Zoë, Łukasz and Мария
// and are never companies.
InventedPerson InventPerson(Rng& rng, int64_t rowid, int layout, NameRegistry& names,
                            int64_t& next_uid);

// A UUID text ("8-4-4-4-12" upper-case hex digits).
std::string Uuid(Rng& rng);

// A new phone number for `person` (an edit), unlike any of the person's values.
std::string NewPhoneNumber(Rng& rng, const Person& person);

// True iff the value is a USSD code ('#' or '*' in it), which the contacts
// recovery leaves out by design.
bool IsUssd(std::string_view value);

}  // namespace quarrow::sample

#endif  // QUARROW_TOOLS_SAMPLE_INVENT_H_
