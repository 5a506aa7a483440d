// retrova-cli: the confirm-or-preview step shared by the verbs that write sectors.
#pragma once
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "utils/undo.h"

struct PHYDRIVE_INFO;

namespace cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPreview = 3;

// Prints what would be written where (stdout: one row per write: LBA, sectors,
// what, drive). Without yes, nothing is written and the result is 3; with it,
// the old sectors are saved to an undo file (its path printed on stderr) and
// the writes made: 0, or 1 after naming the failure.
int RunWritePlan(const char* verb, PHYDRIVE_INFO& d, const std::vector<SectorWrite>& writes, bool yes);

// The physical drive row DRIVE names (see ResolveDrive), or null after the message.
PHYDRIVE_INFO* ResolveWriteDrive(const char* verb, const std::string& drive);

// The verbs, each registered with one call; `status` receives the verb's exit status.
void AddBootrecVerb(CLI::App& app, int& status);
void AddPartrecVerb(CLI::App& app, int& status);
void AddRestoreVerb(CLI::App& app, int& status);

}  // namespace cli
