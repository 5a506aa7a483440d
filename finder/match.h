// The finder's name matching: category tables of extensions and the
// operator's wildcard patterns. Names only; no file content is read.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scan/records.h"

// The slots the pattern list has, and the longest base or extension a slot holds.
inline constexpr std::size_t kMaxUserPatterns = 20;
inline constexpr std::size_t kMaxPatternPart = 254;

// A name's base (before its first point, the whole name without one) and
// extension (after its last point, empty without one).
struct NameParts {
  std::string_view base, extension;
};
NameParts SplitName(std::string_view name);

struct UserPattern {
  std::string base, extension;
};

// The "User Defined" text split into patterns. `patterns` holds those that
// are applied: the list ends at the first pattern whose base and extension
// are both empty (a leading comma, a lone "."); `unused` holds the tokens
// after it, as typed. `error` is set instead when the list cannot be held
// (more than 20 patterns, or a part longer than 254 characters); nothing
// may be searched for then.
struct PatternList {
  std::vector<UserPattern> patterns;
  std::vector<std::string> unused;
  std::string error;
};
// Tokens run to the next comma; after a comma blanks and further commas are
// skipped, while blanks before a comma, and at the very start, stay in the token.
PatternList ParseUserPatterns(std::string_view text);

// One part of a pattern against one part of a name: "*" matches the rest,
// "?" any one character, and the comparison succeeds as soon as either side
// ends; an empty name part never matches a non-empty pattern part.
bool MatchPatternPart(std::string_view pattern, std::string_view part);
// Whether the name matches one of the patterns, tried in order.
int MatchUserPattern(const FILE_INODE& f, std::span<const UserPattern> patterns);
int MatchUserPattern(std::string_view name, std::span<const UserPattern> patterns);

// Category tables: upper-case extensions compared whole.
using CategoryTable = std::span<const std::string_view>;
extern const CategoryTable kGraphicFormats;
extern const CategoryTable kMailFormats;
extern const CategoryTable kTextFormats;
extern const CategoryTable kSoundFormats;
extern const CategoryTable kDatabaseFormats;
extern const CategoryTable kArchiveFormats;
// Whether the name's extension, in upper case, is one of the table's entries.
int MatchCategory(const FILE_INODE& f, CategoryTable table);
int MatchCategory(std::string_view name, CategoryTable table);

// What one search looks for; a file meeting any of these is found.
struct FinderCriteria {
  bool graphic = false, mail = false, text = false, sound = false, database = false, archive = false;
  bool deleted_only = false;  // every deleted file, besides the ticked kinds
  std::vector<UserPattern> patterns;
};
bool FileMeetsCriteria(const FILE_INODE& f, const FinderCriteria& c);
