// retrova-cli recover: the volume scanned as `scan` does it, the named tree
// items ticked, then "Copy Marked Files" (with directories or flat) into
// DEST, one row per marked file handled.
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/context.h"
#include "cli/cli.h"
#include "cli/output.h"
#include "platform/headless/headless.h"
#include "recover/copy.h"
#include "res/ids.h"
#include "scan/records.h"

namespace cli {
namespace {

std::string ItemName(const TreeItem* item) {
  const auto* r = static_cast<const INODE_RECD*>(item->data);
  if (!r) return {};
  if (r->posix_name) return *r->posix_name;
  if (r->short_name) return *r->short_name;
  return {};
}

// The path `scan` prints for an item: the top-level item's name, then each
// name below it.
Field ItemPath(const TreeItem* item) {
  std::vector<const TreeItem*> chain;
  for (const TreeItem* it = item; it && it->data; it = it->parent) chain.push_back(it);
  Field path = Field::Name(chain.empty() ? std::string() : ItemName(chain.back()));
  for (auto it = chain.rbegin() + (chain.empty() ? 0 : 1); it != chain.rend(); ++it)
    path = Field::Child(path, ItemName(*it));
  return path;
}

const char* Word(CopyOutcome o) {
  switch (o) {
    case CopyOutcome::Copied:
      return "copied";
    case CopyOutcome::Skipped:
      return "skipped";
    default:
      return "failed";
  }
}

}  // namespace

Field TreePathOf(const TreeItem* dir_item, const FILE_INODE& f) { return Field::Child(ItemPath(dir_item), f.name); }

bool TickTreePaths(Session& s, const char* verb, const std::vector<std::string>& paths) {
  AppContext& ctx = App();
  for (const std::string& wanted : paths) {
    // Down the tree along the names: each level's item whose path is the
    // wanted one or leads to it.
    TreeItem* found = nullptr;
    for (TreeItem* it = TreeView_GetRoot(ctx.dir_tree); it;) {
      const std::string path = ItemPath(it).str();
      if (path == wanted) {
        found = it;
        break;
      }
      it = wanted.starts_with(path + "/") ? TreeView_GetChild(it) : TreeView_GetNextSibling(it);
    }
    if (!found) {
      std::fprintf(stderr, "retrova-cli %s: no directory %s in the tree\n", verb, EscapeText(wanted).c_str());
      return false;
    }
    if (!TreeView_GetCheckState(found)) {
      ClickTreeItem(s.main, IDC_DIR_TREE, found, HitPart::CheckBox);
      while (DispatchNext()) {
      }
    }
  }
  return true;
}

int CmdRecover(const RecoverOptions& o) {
  if (o.select.Any() && !o.paths.empty()) {
    std::fputs("retrova-cli recover: --path and the finder's options each choose what is copied; give one of them\n",
               stderr);
    return 2;
  }
  Session s(o.scan.images);
  ScannedVolume sv;
  if (const int status = ScanVolume(s, o.scan, "recover", sv); status >= 0) return status;
  if (o.select.Any()) {
    // The finder's marks and ticks select what is copied.
    if (const int status = RunFinder(o.select, "recover", false); status >= 0) return status;
  } else if (!TickTreePaths(s, "recover", o.paths.empty() ? std::vector<std::string>{"Root"} : o.paths)) {
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(o.dest, ec);
  if (!std::filesystem::is_directory(o.dest, ec)) {
    std::fprintf(stderr, "retrova-cli recover: %s is no folder and cannot be made one\n", EscapeText(o.dest).c_str());
    return 2;
  }
  CopyTally tally;
  SetCopyObserver([&](const TreeItem* dir_item, const FILE_INODE& f, const std::string& folder, const CopyResult& r) {
    const std::string out =
        r.output_name.empty() ? std::string() : (folder.empty() ? r.output_name : folder + "/" + r.output_name);
    PrintRow({TreePathOf(dir_item, f), Field::Text(out), Field::Text(Word(r.outcome)),
              Field::Number(r.bytes)});
    switch (r.outcome) {
      case CopyOutcome::Copied:
        ++tally.copied;
        break;
      case CopyOutcome::Skipped:
        ++tally.skipped;
        break;
      default:
        ++tally.failed;
    }
    tally.bytes += r.bytes;
  });
  headless::AnswerFolder(o.dest);
  s.Command(o.flat ? IDM_COPY_FLAT : IDM_COPY_DIRS);
  SetCopyObserver(nullptr);
  std::fflush(stdout);
  std::fprintf(stderr, "copied %" PRIu64 ", skipped %" PRIu64 ", failed %" PRIu64 ", bytes %" PRIu64 "\n", tally.copied,
               tally.skipped, tally.failed, tally.bytes);
  return tally.failed != 0 || ErrorBoxes() ? 1 : 0;
}

}  // namespace cli
