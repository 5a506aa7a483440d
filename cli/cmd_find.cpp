// retrova-cli find: the volume scanned as `scan` does it, then the file
// finder with the chosen kinds and patterns; every file it marks is printed
// as `scan` prints it, in tree order.
#include <cinttypes>
#include <cstdio>

#include "app/context.h"
#include "cli/cli.h"
#include "cli/output.h"
#include "finder/finder.h"
#include "scan/display.h"

namespace cli {

int RunFinder(const FinderSelection& select, const char* verb, bool print) {
  AppContext& ctx = App();
  PatternList parsed = ParseUserPatterns(select.patterns);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "retrova-cli %s: %s Nothing was searched for.\n", verb, parsed.error.c_str());
    return 2;
  }
  for (const std::string& t : parsed.unused)
    std::fprintf(stderr, "retrova-cli %s: pattern not applied (the list ends at an empty pattern): %s\n", verb,
                 EscapeText(t).c_str());
  FinderCriteria c;
  c.graphic = select.graphic;
  c.mail = select.mail;
  c.text = select.text;
  c.sound = select.sound;
  c.database = select.database;
  c.archive = select.archive;
  c.deleted_only = select.deleted;
  c.patterns = std::move(parsed.patterns);
  ctx.finder_found = 0;
  FinderVisit visit;
  if (print) visit = [](const TreeItem* dir_item, FILE_INODE& f) { PrintFileLine(TreePathOf(dir_item, f), f); };
  FinderResult r;
  if (TreeItem* first = TreeView_GetRoot(ctx.dir_tree)) r = SearchTreeForTypes(ctx, first, c, visit);
  ctx.finder_found = 0;
  RecountMarkedFiles(ctx);
  std::fflush(stdout);
  std::fprintf(stderr, "found %" PRIu64 ", listed %" PRIu64 "\n", r.found, r.listed);
  return -1;
}

int CmdFind(const FindOptions& o) {
  Session s(o.scan.images);
  ScannedVolume sv;
  if (const int status = ScanVolume(s, o.scan, "find", sv); status >= 0) return status;
  if (const int status = RunFinder(o.select, "find", true); status >= 0) return status;
  return ErrorBoxes() ? 1 : 0;
}

}  // namespace cli
