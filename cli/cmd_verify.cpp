// retrova-cli verify: the volume scanned as `scan` does it, the named tree
// items ticked, then "Verify Selected Files"; one row per marked non-empty
// file it examined, with its verdict.
#include <cstdio>
#include <string>
#include <vector>

#include "app/context.h"
#include "cli/cli.h"
#include "cli/output.h"
#include "recover/verify.h"
#include "res/ids.h"
#include "scan/records.h"

namespace cli {
namespace {

const char* Word(std::uint32_t result) {
  switch (result) {
    case kVerifyOk:
      return "ok";
    case kVerifyBeyondVolume:
      return "beyond-volume";
    case kVerifyCrossLinked:
      return "cross-linked";
    default:
      return "unknown";
  }
}

}  // namespace

int CmdVerify(const VerifyOptions& o) {
  Session s(o.scan.images);
  ScannedVolume sv;
  if (const int status = ScanVolume(s, o.scan, "verify", sv); status >= 0) return status;
  if (!TickTreePaths(s, "verify", o.paths.empty() ? std::vector<std::string>{"Root"} : o.paths)) return 2;
  s.Command(IDM_VERIFY);
  if (ErrorBoxes()) return 1;
  // The files the verify examined: marked and not empty, in ticked
  // directories (below unticked ones too), in the walk's order.
  std::uint64_t flagged = 0;
  std::vector<const TreeItem*> stack{TreeView_GetRoot(App().dir_tree)};
  while (!stack.empty()) {
    const TreeItem* item = stack.back();
    const auto* r = item ? static_cast<const INODE_RECD*>(item->data) : nullptr;
    if (!r) {
      stack.pop_back();
      continue;
    }
    stack.back() = TreeView_GetNextSibling(item);
    if (TreeView_GetCheckState(item)) {
      const FILE_INODE* f = r->files_head;
      for (std::uint64_t i = 0; i < r->file_count && f; ++i, f = f->next_in_dir) {
        if (f->mark_state != kMarkMarked || f->data_size == 0) continue;
        PrintRow({TreePathOf(item, *f), Field::Number(f->verify_result), Field::Text(Word(f->verify_result))});
        if (f->verify_result != kVerifyOk) ++flagged;
      }
    }
    stack.push_back(TreeView_GetChild(item));
  }
  std::fflush(stdout);
  std::fprintf(stderr, "examined files flagged: %llu\n", static_cast<unsigned long long>(flagged));
  return flagged != 0 ? 1 : 0;
}

}  // namespace cli
