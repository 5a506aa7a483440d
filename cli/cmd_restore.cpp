// retrova-cli restore: puts back the sectors an undo file saved, on the drive
// it was saved from.
#include <cstdio>
#include <memory>
#include <string>

#include "app/context.h"
#include "cli/cli.h"
#include "cli/write_plan.h"
#include "disk/phydrive.h"
#include "utils/undo.h"

namespace cli {
namespace {

struct RestoreOptions {
  std::string file, drive;
  bool yes = false;
};

int RunRestore(const RestoreOptions& o) {
  std::string error;
  const std::optional<UndoFile> u = LoadUndo(o.file, error);
  if (!u) {
    std::fprintf(stderr, "retrova-cli restore: %s\n", error.c_str());
    return kExitFailed;
  }
  Session s({});
  PHYDRIVE_INFO* d = ResolveWriteDrive("restore", o.drive);
  if (!d) return kExitUsage;
  if (const std::string why = WriteRefusal(*d); !why.empty()) {
    std::fprintf(stderr, "retrova-cli restore: refused: %s\n", why.c_str());
    return kExitFailed;
  }
  if (const std::string why = UndoMismatch(*u, *d); !why.empty()) {
    std::fprintf(stderr, "retrova-cli restore: refused, nothing written: %s\n", why.c_str());
    return kExitFailed;
  }
  for (const UndoRange& r : u->ranges)
    std::printf("%s\t%llu\t%llu\trestore\t%s\n", o.yes ? "write" : "would-write",
                static_cast<unsigned long long>(r.lba), static_cast<unsigned long long>(r.bytes.size() / kSectorSize),
                EscapeText(d->device_path).c_str());
  std::fflush(stdout);
  if (!o.yes) {
    std::fprintf(stderr, "retrova-cli restore: nothing written; add --yes to write to %s\n", d->device_path.c_str());
    return kExitPreview;
  }
  if (!RestoreUndo(*u, *d, error)) {
    std::fprintf(stderr, "retrova-cli restore: %s\n", error.c_str());
    return kExitFailed;
  }
  return kExitDone;
}

}  // namespace

void AddRestoreVerb(CLI::App& app, int& status) {
  auto o = std::make_shared<RestoreOptions>();
  CLI::App* v = app.add_subcommand("restore", "put back the sectors saved in UNDO_FILE by bootrec or partrec "
                                              "(only with --yes; the drive must be the one the file names)");
  v->add_option("UNDO_FILE", o->file, "an undo file")->required();
  v->add_option("DRIVE", o->drive, "row index of the drives list, a listed device path, or an image path")->required();
  v->add_flag("--yes", o->yes, "write; without it the writes are only printed");
  v->callback([o, &status] { status = RunRestore(*o); });
}

}  // namespace cli
