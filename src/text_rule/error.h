// The one error type of the core: it carries the exact text the user must see.
// Only file and conversion routines throw it; the window's command runner and
// CliMain catch it, each in one place.
#ifndef QUARROW_TEXT_RULE_ERROR_H_
#define QUARROW_TEXT_RULE_ERROR_H_

#include <stdexcept>
#include <string>

namespace quarrow {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quarrow

#endif  // QUARROW_TEXT_RULE_ERROR_H_
