// retrova-cli wipe: a sector range of one drive overwritten. Without --yes it
// prints what would be written where and writes nothing.
#include <cstdio>
#include <string>

#include "app/context.h"
#include "cli/cli.h"
#include "disk/phydrive.h"
#include "utils/wipe.h"

namespace cli {

int CmdWipe(const WipeOptions& o) {
  Session s({});
  AppContext& ctx = App();
  WipeRequest r;
  r.target = ResolveDriveRecord(ctx, "wipe", o.drive);
  if (!r.target) return 2;
  r.start = o.start;
  r.total = o.total ? *o.total : SectorsAfter(*r.target, r.start);
  r.method = o.method == "user" ? WipeMethod::UserDefined : WipeMethod::Dod;
  r.iterations = o.iterations;
  if (const std::string refusal = CheckWipe(r); !refusal.empty()) {
    std::fprintf(stderr, "retrova-cli wipe: refused: %s\n", refusal.c_str());
    return 1;
  }
  std::printf("%s\n", DescribeWipe(r).c_str());
  if (!o.yes) {
    std::printf("Nothing written: add --yes to write.\n");
    return 3;
  }
  std::fflush(stdout);
  ctx.wipe_running = 1;
  const WriteOutcome out = WipeSectors(ctx, r, nullptr);
  ctx.wipe_running = 0;
  std::printf("wiped\t%llu\tpasses\t%u\tread-back-mismatches\t%llu\n", static_cast<unsigned long long>(out.done),
              WipePasses(r), static_cast<unsigned long long>(out.read_errors));
  if (out.failed) {
    std::fprintf(stderr, "retrova-cli wipe: %s\n", out.message.c_str());
    return 1;
  }
  return 0;
}

}  // namespace cli
