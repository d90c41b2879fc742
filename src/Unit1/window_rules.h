// The window's two pure rules, kept free of Qt so that they can be tested
// alone: the output path proposed after "Open Database", and the text of the
// error box. Thread-safe (no state).
#ifndef QUARROW_UNIT1_WINDOW_RULES_H_
#define QUARROW_UNIT1_WINDOW_RULES_H_

#include <chrono>
#include <string>
#include <string_view>

namespace quarrow {

// Returns app_dir + sep + "outs" + sep + "RES_" + name + "_" + "DD_MM_YYYY" +
// ".TXT", where name is the part of `chosen_path` after its last separator
// ("/" always counts as one, and so does `separator`). `app_dir` is taken as
// it stands: a root folder keeps its own separator, giving two in a row.
// Paths are UTF-8, so a separator byte is never part of another character.
std::string ProposeOutputPath(std::string_view chosen_path,
                              std::chrono::year_month_day date,
                              std::string_view app_dir, char separator);

// Returns `message` with "." added when its last byte's code is above that of
// "." (a letter, a digit, "/"), and unchanged otherwise (".", ")", "", ...).
std::string WithClosingPeriod(std::string message);

}  // namespace quarrow

#endif  // QUARROW_UNIT1_WINDOW_RULES_H_
