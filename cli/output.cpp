#include "cli/output.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <iterator>

#include "platform/text.h"

namespace cli {
namespace {

void AppendHex(std::string& out, unsigned char c) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out += "\\x";
  out.push_back(kDigits[c >> 4]);
  out.push_back(kDigits[c & 0xF]);
}

// Escapes an ASCII byte into out; false for bytes from 0x80 up.
bool AppendAscii(std::string& out, unsigned char c) {
  switch (c) {
    case '\t': out += "\\t"; return true;
    case '\n': out += "\\n"; return true;
    case '\r': out += "\\r"; return true;
    case '\\': out += "\\\\"; return true;
    default: break;
  }
  if (c < 0x20 || c == 0x7F) {
    AppendHex(out, c);
    return true;
  }
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
    return true;
  }
  return false;
}

// The length of the valid UTF-8 sequence at s[i] (2 to 4), or 0.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = at(i);
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < n || at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  return n;
}

// The bytes written as they are: printable ASCII but the backslash (and,
// inside a path, the slash). A table: every byte of every row is looked up.
constexpr std::array<bool, 256> AsIsTable(bool slash) {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x7F; ++c) t[c] = c != '\\' && !(slash && c == '/');
  return t;
}
constexpr std::array<bool, 256> kAsIs = AsIsTable(false);
constexpr std::array<bool, 256> kAsIsInPath = AsIsTable(true);

// Appends a decoded name escaped and as UTF-8; with `slash`, "/" too (\x2F),
// so a path splits back into its names. Most names need no escape at all:
// they are appended in one piece.
void AppendName(std::string& out, std::string_view latin1, bool slash) {
  const std::array<bool, 256>& as_is = slash ? kAsIsInPath : kAsIs;
  const bool plain =
      std::all_of(latin1.begin(), latin1.end(), [&as_is](char ch) { return as_is[static_cast<unsigned char>(ch)]; });
  if (plain) {
    out.append(latin1);
    return;
  }
  for (const unsigned char c : latin1) {
    if (slash && c == '/') {
      AppendHex(out, c);
    } else if (AppendAscii(out, c)) {
      continue;
    } else if (c <= 0x9F) {
      AppendHex(out, c);  // C1: 0x9B alone starts a sequence on some terminals
    } else {
      // Every other byte is a printable Latin-1 character: its UTF-8 form.
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
}

void AppendText(std::string& out, std::string_view utf8) {
  const bool plain = std::all_of(utf8.begin(), utf8.end(), [](char ch) { return kAsIs[static_cast<unsigned char>(ch)]; });
  if (plain) {
    out.append(utf8);
    return;
  }
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (AppendAscii(out, c)) {
      ++i;
      continue;
    }
    const std::size_t n = Utf8Length(utf8, i);
    const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F;
    if (n == 0 || c1) {
      for (std::size_t k = 0; k < (n ? n : 1); ++k) AppendHex(out, static_cast<unsigned char>(utf8[i + k]));
      i += n ? n : 1;
      continue;
    }
    out.append(utf8.substr(i, n));
    i += n;
  }
}

// parent/name: the parent path as it is (escaped already), the name escaped.
void AppendChild(std::string& out, std::string_view escaped_parent, std::string_view latin1_name) {
  out.append(escaped_parent);
  out.push_back('/');
  AppendName(out, latin1_name, true);
}

}  // namespace

std::string EscapeName(std::string_view latin1) {
  std::string escaped;
  escaped.reserve(latin1.size());
  AppendName(escaped, latin1, false);
  return escaped;
}

std::string EscapeText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  AppendText(out, utf8);
  return out;
}

Field Field::Child(const Field& parent, std::string_view latin1_name) {
  std::string out;
  out.reserve(parent.text_.size() + 1 + latin1_name.size());
  AppendChild(out, parent.text_, latin1_name);
  return Field(std::move(out));
}

void PrintRow(std::initializer_list<Field> fields) {
  Row row;
  for (const Field& f : fields) row.Add(f);
  row.Print();
}

namespace {

std::string& SharedLine() {
  static std::string line;  // one buffer for every row: scans print millions
  return line;
}

}  // namespace

Row::Row() : line_(SharedLine()) { line_.clear(); }

void Row::Next() {
  if (!first_) line_.push_back('\t');
  first_ = false;
}

Row& Row::Child(const Field& parent, std::string_view latin1_name) {
  Next();
  AppendChild(line_, parent.str(), latin1_name);
  return *this;
}

Row& Row::Add(const Field& f) {
  Next();
  line_ += f.str();
  return *this;
}

Row& Row::Text(std::string_view utf8) {
  Next();
  AppendText(line_, utf8);
  return *this;
}

Row& Row::Number(std::uint64_t n) {
  Next();
  char digits[24];
  line_.append(digits, std::to_chars(std::begin(digits), std::end(digits), n).ptr);
  return *this;
}

void Row::Print() {
  line_.push_back('\n');
  std::fwrite(line_.data(), 1, line_.size(), stdout);
}

}  // namespace cli
