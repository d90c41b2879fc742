#include "Unit1/window_rules.h"

#include <cstdio>

namespace quarrow {

namespace {

std::string_view FileName(std::string_view path, char separator) {
  size_t cut = path.find_last_of(std::string{'/', separator});
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

// "DD_MM_YYYY", each part zero-padded.
std::string DateStamp(std::chrono::year_month_day date) {
  char text[32];
  std::snprintf(text, sizeof text, "%02u_%02u_%04d",
                static_cast<unsigned>(date.day()),
                static_cast<unsigned>(date.month()), static_cast<int>(date.year()));
  return text;
}

}  // namespace

std::string ProposeOutputPath(std::string_view chosen_path,
                              std::chrono::year_month_day date,
                              std::string_view app_dir, char separator) {
  std::string path(app_dir);
  path += separator;
  path += "outs";
  path += separator;
  path += "RES_";
  path += FileName(chosen_path, separator);
  path += '_';
  path += DateStamp(date);
  path += ".TXT";
  return path;
}

std::string WithClosingPeriod(std::string message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') {
    message += '.';
  }
  return message;
}

}  // namespace quarrow
