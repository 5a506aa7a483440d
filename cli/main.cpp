// retrova-cli: the headless operator. Each verb runs the same commands the
// menus post, with dialog answers taken from its arguments, and prints
// stable tab-separated tables on stdout; messages and progress go to stderr.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/shell.h"
#include "cli/cli.h"
#include "cli/output.h"
#include "cli/write_plan.h"
#include "res/resources.h"

namespace {

constexpr int kUsageError = 2;

// --image takes one path per use, so that a positional argument after it
// stays positional.
CLI::Option* AddImages(CLI::App& verb, std::vector<std::string>& images) {
  return verb.add_option("--image", images, "add an image file as a drive, after the drives (repeatable)")
      ->allow_extra_args(false)
      ->type_name("IMAGE");
}

// Digits only: the unsigned conversion would take -1 as the largest sector.
const CLI::Validator kSector(
    [](std::string& s) {
      return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos ? std::string()
                                                                                : "a sector number is digits";
    },
    "SECTOR");

// DRIVE, VOLUME, --slow and --image, as scan takes them; or --load FILE in
// place of DRIVE VOLUME [--slow] (with_load).
void AddScanArguments(CLI::App& verb, cli::ScanOptions& o, bool with_load = false) {
  CLI::Option* drive =
      verb.add_option("DRIVE", o.drive, "row index of the drives list, a listed device path, or an image path");
  CLI::Option* volume =
      verb.add_option("VOLUME", o.volume, "the volume's start sector (its Logical LBA)")->check(kSector);
  CLI::Option* slow =
      verb.add_flag("--slow", o.slow,
                    "run the slow logical scan (FAT32: every cluster read; NTFS: every sector searched for records)");
  AddImages(verb, o.images);
  if (!with_load) {
    drive->required();
    volume->required();
    return;
  }
  CLI::Option* load = verb.add_option("--load", o.load,
                                      "load this saved-scan file instead of scanning DRIVE VOLUME (its drive is found "
                                      "among the drives and the --image files)")
                          ->type_name("FILE");
  load->excludes(slow);
  verb.callback([drive, volume, load] {
    if (load->count() == 0 && (drive->count() == 0 || volume->count() == 0))
      throw CLI::RequiredError("DRIVE VOLUME (or --load FILE)");
    if (load->count() != 0 && volume->count() != 0)
      throw CLI::ValidationError("--load", "takes the place of DRIVE VOLUME");
  });
}

// With --load the first positional is not a drive: it is what follows
// DRIVE VOLUME in the verb's usage (recover's DEST), or a usage error.
bool ShiftLoadPositional(cli::ScanOptions& o, std::string* next) {
  if (o.load.empty() || o.drive.empty()) return true;
  if (!next || !next->empty()) {
    std::fprintf(stderr, "retrova-cli: --load takes the place of DRIVE VOLUME\n");
    return false;
  }
  *next = std::move(o.drive);
  o.drive.clear();
  return true;
}

CLI::Option* AddPaths(CLI::App& verb, std::vector<std::string>& paths) {
  return verb
      .add_option("--path", paths,
                  "tick the tree item of this path as scan prints it, as a click on its check box would "
                  "(repeatable; default Root)")
      ->allow_extra_args(false)
      ->type_name("TREEPATH");
}

// The finder's choices, as find and recover take them.
void AddFinderOptions(CLI::App& verb, cli::FinderSelection& o) {
  verb.add_flag("--graphic", o.graphic, "find graphic formats (JPG, GIF, BMP, AVI, ...)");
  verb.add_flag("--mail", o.mail, "find mail formats (DBX, IDX, PST, OST)");
  verb.add_flag("--text", o.text, "find text formats (DOC, PDF, TXT)");
  verb.add_flag("--sound", o.sound, "find sound formats (WAV, MP3, MID, ...)");
  verb.add_flag("--database", o.database, "find database formats (DBF, XLS, MDF, MDB)");
  verb.add_flag("--archive", o.archive, "find archive formats (ZIP, RAR, 7Z, GZ, TAR, ISO, ...)");
  verb.add_flag("--deleted", o.deleted, "find every deleted file as well");
  verb.add_option("--pattern", o.patterns, "comma-separated name patterns with * and ? (at most 20)")
      ->allow_extra_args(false)
      ->type_name("LIST")
      ->each([&o](const std::string&) { o.has_patterns = true; });
}

void PrintDebugLines() {
  for (const std::string& line : DebugLines()) std::fprintf(stderr, "debug: %s\n", cli::EscapeText(line).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  // Tables of a hundred thousand rows: a pipe or file gets them in 64 KiB
  // writes rather than one per 4 KiB. A terminal keeps its line buffering.
  static char table_buffer[1 << 16];
  if (!::isatty(STDOUT_FILENO)) std::setvbuf(stdout, table_buffer, _IOFBF, sizeof table_buffer);
  CLI::App app("Retrova headless operator: drive list, partition search and logical scans.\n"
               "Tables go to stdout, tab-separated; messages and progress to stderr.",
               "retrova-cli");
  app.set_version_flag("--version", std::string("retrova-cli ") + kProductVersion);
  bool debug = false;
  app.add_flag("--debug", debug, "print the engine's debug lines on stderr, each prefixed \"debug: \"");
  app.require_subcommand(1);
  app.fallthrough();  // --debug is taken after the verb as well

  std::vector<std::string> drive_images;
  CLI::App* drives = app.add_subcommand(
      "drives", "list the physical drives, then the image files: row, Type, Size, device or image path");
  drives->add_option("IMAGE", drive_images, "image files to add after the drives");

  std::string volumes_drive;
  std::vector<std::string> volume_images;
  CLI::App* volumes = app.add_subcommand(
      "volumes", "search DRIVE for volumes and print the logical-drive list: Logical LBA, File System, Size, "
                 "fs_type, mount_flags");
  volumes->add_option("DRIVE", volumes_drive, "row index of the drives list, a listed device path, or an image path")
      ->required();
  AddImages(*volumes, volume_images);

  cli::ScanOptions scan_options;
  CLI::App* scan = app.add_subcommand(
      "scan", "scan the volume starting at sector VOLUME of DRIVE and print its tree: path from Root, in-use or "
              "deleted, size, date, own number");
  AddScanArguments(*scan, scan_options, true);
  scan->add_flag("--search", scan_options.search,
                 "run the whole-drive partition search first instead of mounting the volume at VOLUME directly");

  cli::RecoverOptions recover_options;
  CLI::App* recover = app.add_subcommand(
      "recover", "scan the volume, tick the --path items and copy their marked files into DEST (made if missing): "
                 "tree path, output path below DEST, copied/skipped/failed, bytes written");
  AddScanArguments(*recover, recover_options.scan, true);
  recover->add_option("DEST", recover_options.dest, "the folder to copy into");
  recover->add_flag("--flat", recover_options.flat, "copy every file into DEST itself, without the directories");
  AddPaths(*recover, recover_options.paths);
  AddFinderOptions(*recover, recover_options.select);

  cli::VerifyOptions verify_options;
  CLI::App* verify = app.add_subcommand(
      "verify", "scan the volume, tick the --path items and verify their marked files: tree path, verify result, "
                "ok/beyond-volume/cross-linked");
  AddScanArguments(*verify, verify_options.scan, true);
  AddPaths(*verify, verify_options.paths);

  cli::SaveOptions save_options;
  CLI::App* save = app.add_subcommand(
      "save", "scan the volume starting at sector VOLUME of DRIVE and save the scan as \"Save Scan.qsn\" in FOLDER "
              "(made if missing)");
  AddScanArguments(*save, save_options.scan);
  save->add_option("FOLDER", save_options.folder, "the folder to save into")->required();

  cli::FindOptions find_options;
  CLI::App* find = app.add_subcommand(
      "find", "scan the volume and run the file finder: every file it marks, in tree order, as scan prints it; "
              "found N, listed M (the dialog's 2000 rows at most) on stderr");
  AddScanArguments(*find, find_options.scan);
  AddFinderOptions(*find, find_options.select);

  // Boot record, partition record and undo: each verb runs from its callback.
  int write_verb_status = -1;
  cli::AddBootrecVerb(app, write_verb_status);
  cli::AddPartrecVerb(app, write_verb_status);
  cli::AddRestoreVerb(app, write_verb_status);

  cli::CloneOptions clone_options;
  CLI::App* clone = app.add_subcommand(
      "clone", "copy sectors SOURCE_START.. of SOURCE onto DEST_START.. of DEST (only with --yes; without it, print "
               "what would be written where and exit 3)");
  clone->add_option("SOURCE", clone_options.source, "row index, listed device path, or image path")->required();
  clone->add_option("DEST", clone_options.dest, "row index, listed device path, or image path")->required();
  clone->add_option("--source-start", clone_options.source_start, "first source sector")->check(kSector);
  clone->add_option("--dest-start", clone_options.dest_start, "first destination sector")->check(kSector);
  clone->add_option("--total", clone_options.total, "sectors to copy (default: what fits after both starts)")
      ->check(kSector);
  clone->add_flag("--yes", clone_options.yes, "write (no undo is kept)");

  cli::WipeOptions wipe_options;
  CLI::App* wipe = app.add_subcommand(
      "wipe", "overwrite sectors START.. of DRIVE (only with --yes; without it, print what would be written where "
              "and exit 3)");
  wipe->add_option("DRIVE", wipe_options.drive, "row index, listed device path, or image path")->required();
  wipe->add_option("--start", wipe_options.start, "first sector")->check(kSector);
  wipe->add_option("--total", wipe_options.total, "sectors to wipe (default: what fits after START)")->check(kSector);
  wipe->add_option("--method", wipe_options.method,
                   "dod: zeros, ones, random, read back; user: --iterations passes of random data")
      ->check(CLI::IsMember({"dod", "user"}));
  wipe->add_option("--iterations", wipe_options.iterations, "passes of the user method")->check(CLI::Range(1, 100));
  wipe->add_flag("--yes", wipe_options.yes, "write (no undo is kept)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version end well (0); every other parse failure is a usage error.
    return app.exit(e) == 0 ? 0 : kUsageError;
  }

  int status = kUsageError;
  if ((*scan && !ShiftLoadPositional(scan_options, nullptr)) ||
      (*verify && !ShiftLoadPositional(verify_options.scan, nullptr)) ||
      (*recover && !ShiftLoadPositional(recover_options.scan, &recover_options.dest)))
    return kUsageError;
  if (*recover && recover_options.dest.empty()) {
    std::fprintf(stderr, "retrova-cli recover: DEST is required\n");
    return kUsageError;
  }
  if (*drives) {
    status = cli::CmdDrives(drive_images);
  } else if (*volumes) {
    status = cli::CmdVolumes(volumes_drive, volume_images);
  } else if (*scan) {
    status = cli::CmdScan(scan_options);
  } else if (*recover) {
    status = cli::CmdRecover(recover_options);
  } else if (*verify) {
    status = cli::CmdVerify(verify_options);
  } else if (*clone) {
    status = cli::CmdClone(clone_options);
  } else if (*wipe) {
    status = cli::CmdWipe(wipe_options);
  } else if (*save) {
    status = cli::CmdSave(save_options);
  } else if (*find) {
    status = cli::CmdFind(find_options);
  }
  if (write_verb_status >= 0) status = write_verb_status;
  if (debug) PrintDebugLines();
  return status;
}
