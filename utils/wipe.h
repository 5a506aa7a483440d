// Wipe drive: a sector range overwritten in passes; and the "Wipe it!" dialog.
#pragma once
#include <cstdint>
#include <string>

#include "utils/clone.h"

enum class WipeMethod { Dod, UserDefined };

struct WipeRequest {
  PHYDRIVE_INFO* target = nullptr;
  std::uint64_t start = 0;
  std::uint64_t total = 0;
  WipeMethod method = WipeMethod::Dod;
  std::uint32_t iterations = 3;  // passes of the user-defined wipe
};

inline constexpr std::uint32_t kMaxWipeIterations = 100;

// DOD: zeros, ones, random, then the random pass read back. User defined:
// Iterations passes of random data.
std::uint32_t WipePasses(const WipeRequest& r);
std::string CheckWipe(const WipeRequest& r, const MountTables& tables = {});
std::string DescribeWipe(const WipeRequest& r);
// Writes the passes while ctx.wipe_running stays nonzero; progress counts the
// sectors of every pass (and the read-back). read_errors counts read-back
// sectors that differ from what was written (each a failure).
WriteOutcome WipeSectors(AppContext& ctx, const WipeRequest& r, const UnitHook& after_unit);

// Menu command "Wipe Drive".
void WipeDriveCommand(AppContext& ctx);
std::intptr_t WipeDlgProc(Dialog* dlg, const Msg& msg);
