#include "carve_json.h"

#include <charconv>
#include <stdexcept>

namespace quarrow::scenario {
namespace {

// A recursive-descent reader over one text; depth-limited, so that a hostile
// report line cannot exhaust the stack.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  JsonValue Document() {
    JsonValue value = Value(0);
    SkipSpace();
    if (at_ != text_.size()) Fail("text after the value");
    return value;
  }

 private:
  static constexpr int kMaxDepth = 64;

  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error("Bad JSON at byte " + std::to_string(at_) + ": " + what);
  }

  void SkipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

  void Expect(char c) {
    if (Peek() != c) Fail(std::string("expected '") + c + "'");
    ++at_;
  }

  bool TakeWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  JsonValue Value(int depth) {
    if (depth > kMaxDepth) Fail("nested too deeply");
    SkipSpace();
    JsonValue value;
    const char c = Peek();
    if (c == '{') {
      value.kind = JsonValue::Kind::kObject;
      ReadObject(value, depth);
    } else if (c == '[') {
      value.kind = JsonValue::Kind::kArray;
      ReadArray(value, depth);
    } else if (c == '"') {
      value.kind = JsonValue::Kind::kString;
      value.text = String();
    } else if (TakeWord("null")) {
      value.kind = JsonValue::Kind::kNull;
    } else if (TakeWord("true")) {
      value.kind = JsonValue::Kind::kBool;
      value.boolean = true;
    } else if (TakeWord("false")) {
      value.kind = JsonValue::Kind::kBool;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      value.kind = JsonValue::Kind::kNumber;
      value.text = Number();
    } else {
      Fail("expected a value");
    }
    return value;
  }

  void ReadObject(JsonValue& value, int depth) {
    Expect('{');
    SkipSpace();
    if (Peek() == '}') {
      ++at_;
      return;
    }
    while (true) {
      SkipSpace();
      std::string key = String();
      SkipSpace();
      Expect(':');
      value.members.push_back({std::move(key), Value(depth + 1)});
      SkipSpace();
      if (Peek() == '}') {
        ++at_;
        return;
      }
      Expect(',');
    }
  }

  void ReadArray(JsonValue& value, int depth) {
    Expect('[');
    SkipSpace();
    if (Peek() == ']') {
      ++at_;
      return;
    }
    while (true) {
      value.items.push_back(Value(depth + 1));
      SkipSpace();
      if (Peek() == ']') {
        ++at_;
        return;
      }
      Expect(',');
    }
  }

  std::string Number() {
    const size_t start = at_;
    auto digits = [&] {
      const size_t from = at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      if (at_ == from) Fail("expected a digit");
    };
    if (Peek() == '-') ++at_;
    digits();
    if (Peek() == '.') {
      ++at_;
      digits();
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++at_;
      if (Peek() == '+' || Peek() == '-') ++at_;
      digits();
    }
    return std::string(text_.substr(start, at_ - start));
  }

  uint32_t Hex4() {
    if (at_ + 4 > text_.size()) Fail("cut \\u escape");
    uint32_t code = 0;
    const auto [end, error] = std::from_chars(text_.data() + at_, text_.data() + at_ + 4, code, 16);
    if (error != std::errc() || end != text_.data() + at_ + 4) Fail("bad \\u escape");
    at_ += 4;
    return code;
  }

  static void AppendUtf8(uint32_t code, std::string& out) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  void Escape(std::string& out) {
    const char c = Peek();
    ++at_;
    switch (c) {
      case '"': out += '"'; return;
      case '\\': out += '\\'; return;
      case '/': out += '/'; return;
      case 'b': out += '\b'; return;
      case 'f': out += '\f'; return;
      case 'n': out += '\n'; return;
      case 'r': out += '\r'; return;
      case 't': out += '\t'; return;
      case 'u': break;
      default: Fail("bad escape");
    }
    uint32_t code = Hex4();
    // A high surrogate followed by a low one is one character; a lone
    // surrogate is kept as U+FFFD.
    if (code >= 0xD800 && code <= 0xDBFF && text_.substr(at_, 2) == "\\u") {
      const size_t back = at_;
      at_ += 2;
      const uint32_t low = Hex4();
      if (low >= 0xDC00 && low <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      } else {
        at_ = back;
        code = 0xFFFD;
      }
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    AppendUtf8(code, out);
  }

  std::string String() {
    Expect('"');
    std::string out;
    while (true) {
      if (at_ >= text_.size()) Fail("unterminated string");
      const char c = text_[at_++];
      if (c == '"') return out;
      if (c == '\\') {
        Escape(out);
      } else if (static_cast<unsigned char>(c) < 0x20) {
        --at_;
        Fail("control byte in a string");
      } else {
        out += c;
      }
    }
  }

  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const {
  for (const auto& [name, value] : members) {
    if (name == key) return &value;
  }
  return nullptr;
}

JsonValue ParseJson(std::string_view text) { return Reader(text).Document(); }

std::optional<int64_t> JsonInteger(const JsonValue& value) {
  if (value.kind != JsonValue::Kind::kNumber) return std::nullopt;
  const std::string& text = value.text;
  int64_t out = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return out;
}

void WriteJsonString(std::string_view bytes, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string RealText(double real) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, real);
  std::string text(buffer, error == std::errc() ? end : buffer);
  if (text.find_first_of(".eE") == std::string::npos) text += ".0";
  return text;
}

std::string HexText(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    out += kHex[static_cast<unsigned char>(c) >> 4];
    out += kHex[static_cast<unsigned char>(c) & 0xF];
  }
  return out;
}

std::optional<std::string> BytesFromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = digit(hex[i]);
    const int low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
  }
  return out;
}

}  // namespace quarrow::scenario
