#include "sample_invent.h"

#include <algorithm>
#include <cctype>

namespace quarrow::sample {

uint64_t Rng::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

namespace {

struct Name {
  const char* text;   // UTF-8
  const char* ascii;  // for e-mail addresses and sort keys
};

// Invented combinations of common names; 50 x 50 leaves room for 2000 unique
// pairs.
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
    {"Andry", "andry"},       {"Hery", "hery"},         {"Voahirana", "voahirana"},
    {"Günther", "guenther"},  {"Renée", "renee"},       {"Ætla", "aetla"},
    {"Lucas", "lucas"},       {"Mia", "mia"},           {"Élodie", "elodie"},
    {"Kofi", "kofi"},         {"Ayşe", "ayse"},         {"Paulo", "paulo"},
    {"Hélène", "helene"},     {"Tomás", "tomas"},       {"Nadia", "nadia"},
    {"Rafael", "rafael"},     {"Jüri", "juri"},         {"Marta", "marta"},
    {"Samuel", "samuel"},     {"Inès", "ines"},
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
    {"Itu", "itu"},           {"Rakoto", "rakoto"},     {"Randria", "randria"},
    {"Weiß", "weiss"},        {"Fernández", "fernandez"}, {"Jensen", "jensen"},
    {"Bauer", "bauer"},       {"Leroy", "leroy"},       {"Costa", "costa"},
    {"Öztürk", "ozturk"},     {"Hoffmann", "hoffmann"}, {"Mensah", "mensah"},
    {"Silva", "silva"},       {"Moreau", "moreau"},     {"Brennan", "brennan"},
    {"Horváth", "horvath"},   {"Wójcik", "wojcik"},     {"Dupré", "dupre"},
    {"Kuznetsov", "kuznetsov"}, {"Berg", "berg"},       {"Ramírez", "ramirez"},
    {"Haddad", "haddad"},     {"Svensson", "svensson"}, {"Çelik", "celik"},
    {"Walsh", "walsh"},       {"Vogel", "vogel"},
};

// Companies are named "<stem> <form>": 16 x 12 unique names.
const char* const kCompanyStems[] = {
    "Acme",     "Müller & Söhne", "Northwind", "Café Lumière", "Ромашка",  "Blue Harbor",
    "Kowalski", "Initech",        "Fjord",     "Städtische",   "Αιγαίου",  "Lakeside",
    "Zénith",   "Baobab",         "Nordlys",   "Sunrise",
};
const char* const kCompanyForms[] = {"Ltd", "GmbH", "AS", "SARL", "Logistics", "Analytics",
                                     "Traders", "Werke", "Group", "Clinic", "Taxi", "Bakery"};

const char* const kMiddleNames[] = {"Marie", "James", "Ann", "Lee", "Józef"};
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
// 'D' is a random digit.
const char* const kPhoneTemplates[] = {
    "+44 20 7946 0DDD", "(555) 01D-DDDD",    "+1 202-555-0DDD",   "0151 DDD DDDD",
    "+48 22 DDD DD DD", "+7 (495) DDD-DD-DD", "+49 30 DDDDDDDD",  "06.DD.DD.DD.DD",
    "+33 6 DD DD DD DD", "555DDDD",           "+261 34 DD DDD DD", "+261 32 DD DDD DD",
    "07DDD DDDDDD",      "+1 (555) 01D-DDDD",
};
const char* const kUssdCodes[] = {"*#06#", "*100#", "#31#", "*111*1#", "*101#", "#100#", "*121#"};
const char* const kMailDomains[] = {"example.com", "mail.example.org", "post.example.net",
                                    "example.co.uk", "firma.example.de"};
const char* const kUnicodeMailDomains[] = {"bücher.example", "café.example.fr"};

// Labels as phones store them: built-ins wrapped, custom ones as typed. The
// repeats weight the choice.
const char* const kPhoneLabels[] = {
    "_$!<Mobile>!$_", "_$!<Mobile>!$_", "_$!<Mobile>!$_", "_$!<Mobile>!$_", "_$!<Mobile>!$_",
    "_$!<Mobile>!$_", "_$!<Mobile>!$_", "iPhone",         "iPhone",         "iPhone",
    "_$!<Home>!$_",   "_$!<Home>!$_",   "_$!<Home>!$_",   "_$!<Work>!$_",   "_$!<Work>!$_",
    "_$!<Main>!$_",   "_$!<Main>!$_",   "_$!<Other>!$_",  "_$!<WorkFAX>!$_", "_$!<HomeFAX>!$_",
    "_$!<Pager>!$_",  "Main",           "Telma",          "Mobile",         "Büro",
};
const char* const kEmailLabels[] = {
    "_$!<Home>!$_",  "_$!<Home>!$_",  "_$!<Home>!$_", "_$!<Work>!$_", "_$!<Work>!$_",
    "_$!<Work>!$_",  "_$!<Other>!$_", "_$!<Other>!$_", "_$!<Mobile>!$_", "iPhone",
    "iCloud",        "School",
};
const char* const kUssdLabels[] = {"Telma", "Main", "_$!<Main>!$_", "_$!<Other>!$_"};
const char kHomePageLabel[] = "_$!<HomePage>!$_";
const char kNoBreakSpace[] = "\xC2\xA0";

std::string FillDigits(Rng& rng, std::string_view pattern) {
  std::string out(pattern);
  for (char& c : out) {
    if (c == 'D') c = static_cast<char>('0' + rng.Below(10));
  }
  return out;
}

// iOS formats many numbers with no-break spaces between the groups.
std::string PhoneNumber(Rng& rng) {
  std::string number = FillDigits(rng, rng.Pick(kPhoneTemplates));
  if (number.find(' ') == std::string::npos || !rng.Chance(30)) return number;
  std::string out;
  for (char c : number) {
    if (c == ' ') {
      out += kNoBreakSpace;
    } else {
      out += c;
    }
  }
  return out;
}

std::string DigitsOnly(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c >= '0' && c <= '9') out += c;
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
  const char* domain = rng.Chance(4) ? rng.Pick(kUnicodeMailDomains) : rng.Pick(kMailDomains);
  return local + "@" + domain;
}

Value Text(std::string_view text) { return std::string(text); }
Value TextOrNull(bool present, std::string_view text) {
  return present ? Value(std::string(text)) : Value();
}

// Picks an unused (first, last) pair: random tries, then the first free one in
// list order, so that a full book still terminates.
std::pair<const Name*, const Name*> UniqueName(Rng& rng, int64_t rowid, NameRegistry& names) {
  auto fixed_first = [&](const Name& random) -> const Name& {
    return rowid <= 3 ? kFirstNames[rowid - 1] : random;
  };
  for (int attempt = 0; attempt < 64; ++attempt) {
    const Name& first = fixed_first(rng.Pick(kFirstNames));
    const Name& last = rng.Pick(kLastNames);
    if (names.persons.emplace(first.text, last.text).second) return {&first, &last};
  }
  for (const Name& first : kFirstNames) {
    for (const Name& last : kLastNames) {
      if (names.persons.emplace(first.text, last.text).second) return {&first, &last};
    }
  }
  return {&kFirstNames[0], &kLastNames[0]};  // unreachable below kMaxPersons
}

std::string UniqueCompany(Rng& rng, NameRegistry& names) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    // Drawn one at a time, form first, as the books already made drew them:
    // operands of one expression are drawn in an order each compiler picks.
    const char* form = rng.Pick(kCompanyForms);
    std::string name = std::string(rng.Pick(kCompanyStems)) + " " + form;
    if (names.companies.insert(name).second) return name;
  }
  for (const char* stem : kCompanyStems) {
    for (const char* form : kCompanyForms) {
      std::string name = std::string(stem) + " " + form;
      if (names.companies.insert(name).second) return name;
    }
  }
  return std::string(kCompanyStems[0]) + " " + std::to_string(names.companies.size());
}

// True iff `value` equals, holds or is held by one of the person's values: a
// report merges a person's values into one cell and skips one already in it.
bool Overlaps(const std::vector<MultiValue>& values, const std::string& value) {
  return std::any_of(values.begin(), values.end(), [&](const MultiValue& mv) {
    return mv.value.find(value) != std::string::npos || value.find(mv.value) != std::string::npos;
  });
}

void AddValue(Person& person, int64_t& next_uid, int property, const char* label,
              std::string value) {
  MultiValue mv;
  mv.uid = next_uid++;
  mv.property = property;
  mv.identifier = static_cast<int>(person.values.size());
  mv.label_text = label;
  mv.value = std::move(value);
  person.values.push_back(std::move(mv));
}

void InventValues(Rng& rng, bool is_company, const Name& first, const Name& last,
                  const std::string& last_ascii, Person& person, int64_t& next_uid) {
  const int phones = rng.Below(4);  // 0 to 3
  for (int i = 0; i < phones; ++i) {
    std::string number = PhoneNumber(rng);
    if (Overlaps(person.values, number)) continue;
    AddValue(person, next_uid, kPhone, rng.Pick(kPhoneLabels), std::move(number));
  }
  if (rng.Chance(5)) {  // a carrier's service code
    const char* code = rng.Pick(kUssdCodes);
    AddValue(person, next_uid, kPhone, rng.Pick(kUssdLabels), code);
  }
  const int emails = is_company ? rng.Below(2) : rng.Below(3);  // 0 to 2
  for (int i = 0; i < emails; ++i) {
    std::string address;
    if (is_company) {
      const char* domain = rng.Pick(kMailDomains);
      address = std::string(rng.Chance(50) ? "info@" : "office@") + domain;
    } else {
      address = Email(rng, first, last);
    }
    if (Overlaps(person.values, address)) continue;
    AddValue(person, next_uid, kEmail, rng.Pick(kEmailLabels), std::move(address));
  }
  if (rng.Chance(15)) {  // a home page: ":" and "/" make it implausible as a value
    AddValue(person, next_uid, kUrl, kHomePageLabel,
             "https://www.example.com/~" + last_ascii);
  }
}

// The search index's row: the person's texts, numbers (as stored and as bare
// digits) and e-mail addresses.
std::vector<Value> SearchRow(const std::vector<Value>& columns, const Person& person,
                             int layout) {
  auto column = [&](int index) { return columns[static_cast<size_t>(index)]; };
  std::string phones;
  std::string emails;
  std::string urls;
  for (const MultiValue& mv : person.values) {
    std::string& list = mv.property == kPhone ? phones : mv.property == kEmail ? emails : urls;
    if (!list.empty()) list += ' ';
    list += mv.value;
    if (mv.property == kPhone) {
      list += ' ';
      list += DigitsOnly(mv.value);
    }
  }
  auto text_or_null = [](const std::string& text) {
    return text.empty() ? Value() : Value(text);
  };
  // c0First .. c8Note are person columns 0 .. 8; c9Birthday column 10;
  // c10JobTitle .. c13Suffix columns 11 .. 14; c14DisplayName column 24.
  std::vector<Value> row;
  for (int i = 0; i <= 8; ++i) row.push_back(column(i));
  row.push_back(column(10));
  for (int i = 11; i <= 14; ++i) row.push_back(column(i));
  row.push_back(column(24));
  row.push_back(text_or_null(phones));
  row.push_back(text_or_null(emails));
  row.push_back(Value());  // c17Address
  row.push_back(Value());  // c18SocialProfile
  row.push_back(text_or_null(urls));
  row.push_back(Value());  // c20RelatedNames
  row.push_back(Value());  // c21IM
  row.push_back(Value());  // c22Date
  if (layout >= kLayout38) {
    std::string terms = person.first;
    if (!person.last.empty()) {
      terms += ' ';
      terms += person.last;
    }
    row.push_back(text_or_null(terms));
  }
  return row;
}

}  // namespace

std::string Uuid(Rng& rng) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) out += '-';
    out += kHex[rng.Below(16)];
  }
  return out;
}

std::string NewPhoneNumber(Rng& rng, const Person& person) {
  for (;;) {
    std::string number = PhoneNumber(rng);
    if (!Overlaps(person.values, number)) return number;
  }
}

bool IsUssd(std::string_view value) { return value.find_first_of("#*") != std::string_view::npos; }

InventedPerson InventPerson(Rng& rng, int64_t rowid, int layout, NameRegistry& names,
                            int64_t& next_uid) {
  InventedPerson out;
  Person& person = out.person;
  const bool is_company = rowid > 3 && rng.Chance(6);
  const auto [first_ptr, last_ptr] =
      is_company ? std::pair{&kFirstNames[0], &kLastNames[0]} : UniqueName(rng, rowid, names);
  const Name& first = *first_ptr;
  const Name& last = *last_ptr;
  const bool has_org = is_company || rng.Chance(45);
  const bool synced = rng.Chance(40);  // came from a synced account
  const int64_t created = 300'000'000 + rng.Below(400'000'000);  // seconds since 2001
  const int64_t modified = created + rng.Below(50'000'000);

  person.rowid = rowid;
  person.first = is_company ? "" : first.text;
  person.last = is_company ? "" : last.text;
  if (is_company) {
    person.organization = UniqueCompany(rng, names);
  } else if (has_org) {
    const char* form = rng.Pick(kCompanyForms);
    person.organization = std::string(rng.Pick(kCompanyStems)) + " " + form;
  }

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

  out.columns = {
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
  if (layout >= kLayout36) {
    person.guid = Uuid(rng);
    out.columns.push_back(Text(person.guid));
    out.columns.push_back(Value());  // PhonemeData
  }
  if (layout >= kLayout38) {
    const int64_t day = 1 + rng.Below(28);
    const int64_t month = 1 + rng.Below(12);
    const std::string lunar = "{\"calendarIdentifier\":\"chinese\",\"month\":" +
                              std::to_string(month) + ",\"day\":" + std::to_string(day) +
                              ",\"isLeapMonth\":false}";
    out.columns.push_back(TextOrNull(has_birthday && rng.Chance(10), lunar));
    out.columns.push_back(Value());  // MapsData
  }

  InventValues(rng, is_company, first, last, last.ascii, person, next_uid);
  if (layout >= kLayout36) {
    for (MultiValue& mv : person.values) mv.guid = Uuid(rng);
    out.search = SearchRow(out.columns, person, layout);
  }
  return out;
}

}  // namespace quarrow::sample
