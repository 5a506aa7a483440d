// retrova-cli clone: a sector range copied from one drive to another. Without
// --yes it prints what would be written where and writes nothing.
#include <cstdio>
#include <string>

#include "app/context.h"
#include "app/status.h"
#include "cli/cli.h"
#include "disk/phydrive.h"
#include "utils/clone.h"

namespace cli {

PHYDRIVE_INFO* ResolveDriveRecord(AppContext& ctx, const char* verb, const std::string& drive) {
  const int row = ResolveDrive(ctx, verb, drive);
  return row < 0 ? nullptr : static_cast<PHYDRIVE_INFO*>(GetRowData(ctx.phy_list, row));
}

int CmdClone(const CloneOptions& o) {
  Session s({});
  AppContext& ctx = App();
  CloneRequest r;
  r.source = ResolveDriveRecord(ctx, "clone", o.source);
  if (!r.source) return 2;
  r.destination = ResolveDriveRecord(ctx, "clone", o.dest);
  if (!r.destination) return 2;
  r.source_start = o.source_start;
  r.dest_start = o.dest_start;
  r.total = o.total ? *o.total : CloneDefaultTotal(r.source, r.destination, r.source_start, r.dest_start);
  if (const std::string refusal = CheckClone(r); !refusal.empty()) {
    std::fprintf(stderr, "retrova-cli clone: refused: %s\n", refusal.c_str());
    return 1;
  }
  std::printf("%s\n", DescribeClone(r).c_str());
  if (!o.yes) {
    std::printf("Nothing written: add --yes to write.\n");
    return 3;
  }
  std::fflush(stdout);
  ctx.clone_running = 1;
  const WriteOutcome out = CopySectors(ctx, r, nullptr);
  ctx.clone_running = 0;
  std::printf("copied\t%llu\tunreadable-as-zeros\t%llu\n", static_cast<unsigned long long>(out.done),
              static_cast<unsigned long long>(out.read_errors));
  if (out.failed) {
    std::fprintf(stderr, "retrova-cli clone: %s\n", out.message.c_str());
    return 1;
  }
  return 0;
}

}  // namespace cli
