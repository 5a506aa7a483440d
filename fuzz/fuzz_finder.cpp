// libFuzzer target for the finder's pattern parser and matcher. The input up
// to its first NUL is the "User Defined" text; the NUL-separated pieces after
// it are file names. The parse must keep its limits, and every name must
// match the pattern made of itself (typed alone, it is one pattern), in
// either case.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "finder/match.h"
#include "scan/records.h"

namespace {

constexpr std::size_t kMaxNames = 64;

void CheckList(const PatternList& list) {
  if (!list.error.empty() && (!list.patterns.empty() || !list.unused.empty())) __builtin_trap();
  if (list.patterns.size() > kMaxUserPatterns) __builtin_trap();
  for (const UserPattern& p : list.patterns) {
    if (p.base.size() > kMaxPatternPart || p.extension.size() > kMaxPatternPart) __builtin_trap();
    // The list ends before a pattern with nothing in it.
    if (p.base.empty() && p.extension.empty()) __builtin_trap();
  }
}

std::string Swapped(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = in.find('\0');
  const std::string_view text = in.substr(0, nul);
  const PatternList list = ParseUserPatterns(text);
  CheckList(list);

  FinderCriteria all;
  all.graphic = all.mail = all.text = all.sound = all.database = all.archive = true;
  all.patterns = list.patterns;
  std::size_t names = 0;
  for (std::size_t pos = nul; pos != std::string_view::npos && names < kMaxNames; ++names) {
    const std::size_t next = in.find('\0', pos + 1);
    const std::string_view name = in.substr(pos + 1, next == std::string_view::npos ? std::string_view::npos : next - pos - 1);
    pos = next;
    MatchUserPattern(name, list.patterns);
    FILE_INODE f;
    f.name = std::string(name);
    FileMeetsCriteria(f, all);

    if (name.find(',') != std::string_view::npos) continue;
    const PatternList self = ParseUserPatterns(name);
    CheckList(self);
    if (self.patterns.empty()) continue;
    if (!MatchUserPattern(name, self.patterns) || !MatchUserPattern(Swapped(name), self.patterns)) __builtin_trap();
  }
  return 0;
}
