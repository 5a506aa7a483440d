// retrova-cli: the one way a row reaches stdout. Every field is escaped on
// the way in, so that no name read from a disk can add a column or a row, or
// reach the terminal as a control sequence.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace cli {

// A name as decoded (one byte a character, Latin-1), escaped and as UTF-8:
// tab, newline, carriage return and backslash as \t \n \r \\, the other C0
// controls, DEL and the C1 range 0x80-0x9F as \xNN.
std::string EscapeName(std::string_view latin1);
// Text from the system or the program (device paths, sizes), taken as UTF-8:
// the same escapes; bytes that are no valid UTF-8, and the C1 controls
// encoded in it, as \xNN per byte.
std::string EscapeText(std::string_view utf8);

class Field {
 public:
  static Field Name(std::string_view latin1) { return Field(EscapeName(latin1)); }
  static Field Text(std::string_view utf8) { return Field(EscapeText(utf8)); }
  static Field Number(std::uint64_t n) { return Field(std::to_string(n)); }
  static Field Signed(std::int64_t n) { return Field(std::to_string(n)); }
  // parent/name: a "/" inside the name is written \x2F, so that a path splits
  // back into its names.
  static Field Child(const Field& parent, std::string_view latin1_name);
  const std::string& str() const { return text_; }

 private:
  explicit Field(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

// One row on stdout: the fields, tab-separated, and a newline.
void PrintRow(std::initializer_list<Field> fields);

// A row built field by field in one buffer kept for the whole run, escaped on
// the way in as Field escapes: a scan prints a row per file, and a row of
// Fields costs a string for each. One Row at a time.
class Row {
 public:
  Row();
  // parent/name, the name escaped as Field::Child escapes it.
  Row& Child(const Field& parent, std::string_view latin1_name);
  Row& Add(const Field& f);
  Row& Text(std::string_view utf8);
  Row& Number(std::uint64_t n);
  // The fields, tab-separated, and a newline.
  void Print();

 private:
  void Next();
  std::string& line_;
  bool first_ = true;
};

}  // namespace cli
