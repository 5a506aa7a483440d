#include "finder/match.h"

#include <array>

namespace {

// ASCII only: names are single bytes from the volume, and the code-page
// letters above 0x7F have no case rule the finder could rely on.
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

constexpr std::array<std::string_view, 17> kGraphic = {"AVI", "FLC",  "FLI", "FLIC", "MOV", "MPEG", "MPG", "QT",  "JPEG",
                                                       "JPG", "BMP",  "GIF", "PCX",  "PSD", "PSP",  "TIFF", "TGA"};
constexpr std::array<std::string_view, 4> kMail = {"DBX", "IDX", "PST", "OST"};
constexpr std::array<std::string_view, 3> kText = {"DOC", "PDF", "TXT"};
constexpr std::array<std::string_view, 10> kSound = {"ASF", "MSD", "MDL", "MID", "MIDI",
                                                     "MOD", "MP",  "MP3", "VOC", "WAV"};
constexpr std::array<std::string_view, 4> kDatabase = {"DBF", "XLS", "MDF", "MDB"};
constexpr std::array<std::string_view, 12> kArchive = {"ZIP", "RAR", "7Z", "ARJ", "LZH", "CAB",
                                                       "GZ",  "TGZ", "BZ2", "XZ", "TAR", "ISO"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

const CategoryTable kGraphicFormats{kGraphic};
const CategoryTable kMailFormats{kMail};
const CategoryTable kTextFormats{kText};
const CategoryTable kSoundFormats{kSound};
const CategoryTable kDatabaseFormats{kDatabase};
const CategoryTable kArchiveFormats{kArchive};

NameParts SplitName(std::string_view name) {
  const std::size_t first = name.find('.');
  if (first == std::string_view::npos) return {name, {}};
  return {name.substr(0, first), name.substr(name.rfind('.') + 1)};
}

PatternList ParseUserPatterns(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  for (;;) {
    const std::size_t comma = text.find(',', i);
    tokens.push_back(text.substr(i, comma == std::string_view::npos ? std::string_view::npos : comma - i));
    if (comma == std::string_view::npos) break;
    i = comma + 1;
    while (i < text.size() && (IsBlank(text[i]) || text[i] == ',')) ++i;
    if (i == text.size()) break;  // a trailing comma adds no pattern
  }
  PatternList out;
  if (tokens.size() > kMaxUserPatterns) {
    out.error = "The User Defined list has " + std::to_string(tokens.size()) + " patterns; at most " +
                std::to_string(kMaxUserPatterns) + " can be searched for.";
    return out;
  }
  for (std::size_t n = 0; n < tokens.size(); ++n) {
    const NameParts parts = SplitName(tokens[n]);
    if (parts.base.size() > kMaxPatternPart || parts.extension.size() > kMaxPatternPart) {
      out.error = "Pattern " + std::to_string(n + 1) + " of the User Defined list has a " +
                  (parts.base.size() > kMaxPatternPart ? "name" : "extension") + " of more than " +
                  std::to_string(kMaxPatternPart) + " characters.";
      return out;
    }
  }
  bool ended = false;
  for (std::string_view token : tokens) {
    const NameParts parts = SplitName(token);
    if (!ended && parts.base.empty() && parts.extension.empty()) ended = true;
    if (ended) {
      if (!token.empty()) out.unused.emplace_back(token);
      continue;
    }
    out.patterns.push_back({std::string(parts.base), std::string(parts.extension)});
  }
  return out;
}

bool MatchPatternPart(std::string_view pattern, std::string_view part) {
  if (part.empty()) return pattern.empty();
  for (std::size_t i = 0; i < pattern.size() && i < part.size(); ++i) {
    if (pattern[i] == '*') return true;
    if (pattern[i] == '?') continue;
    if (Upper(pattern[i]) != Upper(part[i])) return false;
  }
  return true;
}

int MatchUserPattern(std::string_view name, std::span<const UserPattern> patterns) {
  const NameParts parts = SplitName(name);
  for (const UserPattern& p : patterns)
    if (MatchPatternPart(p.base, parts.base) && MatchPatternPart(p.extension, parts.extension)) return 1;
  return 0;
}

int MatchUserPattern(const FILE_INODE& f, std::span<const UserPattern> patterns) {
  return MatchUserPattern(f.name, patterns);
}

int MatchCategory(std::string_view name, CategoryTable table) {
  const std::string_view ext = SplitName(name).extension;
  if (ext.empty()) return 0;
  for (std::string_view entry : table) {
    if (entry.size() != ext.size()) continue;
    std::size_t i = 0;
    while (i < ext.size() && Upper(ext[i]) == entry[i]) ++i;
    if (i == ext.size()) return 1;
  }
  return 0;
}

int MatchCategory(const FILE_INODE& f, CategoryTable table) { return MatchCategory(f.name, table); }

bool FileMeetsCriteria(const FILE_INODE& f, const FinderCriteria& c) {
  if (c.deleted_only && !(f.record_flags & kRecInUse)) return true;
  if (c.graphic && MatchCategory(f, kGraphicFormats)) return true;
  if (c.mail && MatchCategory(f, kMailFormats)) return true;
  if (c.sound && MatchCategory(f, kSoundFormats)) return true;
  if (c.database && MatchCategory(f, kDatabaseFormats)) return true;
  if (c.text && MatchCategory(f, kTextFormats)) return true;
  if (c.archive && MatchCategory(f, kArchiveFormats)) return true;
  return MatchUserPattern(f, c.patterns) != 0;
}
