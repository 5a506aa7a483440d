// retrova-cli: the headless operator. Each verb runs the same commands the
// menus post, with dialog answers taken from its arguments, and prints
// stable tab-separated tables on stdout; messages and progress go to stderr.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "app/shell.h"
#include "cli/cli.h"
#include "cli/output.h"

#ifndef RETROVA_VERSION
#error "RETROVA_VERSION comes from the build"
#endif

namespace {

constexpr int kUsageError = 2;

// --image takes one path per use, so that a positional argument after it
// stays positional.
CLI::Option* AddImages(CLI::App& verb, std::vector<std::string>& images) {
  return verb.add_option("--image", images, "add an image file as a drive, after the drives (repeatable)")
      ->allow_extra_args(false)
      ->type_name("IMAGE");
}

void PrintDebugLines() {
  for (const std::string& line : DebugLines()) std::fprintf(stderr, "debug: %s\n", cli::EscapeText(line).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Retrova headless operator: drive list, partition search and logical scans.\n"
               "Tables go to stdout, tab-separated; messages and progress to stderr.",
               "retrova-cli");
  app.set_version_flag("--version", "retrova-cli " RETROVA_VERSION);
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
  scan->add_option("DRIVE", scan_options.drive, "row index of the drives list, a listed device path, or an image path")
      ->required();
  scan->add_option("VOLUME", scan_options.volume, "the volume's start sector (its Logical LBA)")
      ->required()
      // Digits only: the unsigned conversion would take -1 as the largest sector.
      ->check(CLI::Validator(
          [](std::string& s) {
            return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos ? std::string()
                                                                                      : "a sector number is digits";
          },
          "SECTOR"));
  scan->add_flag("--slow", scan_options.slow, "run the slow logical scan (FAT32: every cluster read; NTFS: every sector searched for records)");
  scan->add_flag("--search", scan_options.search,
                 "run the whole-drive partition search first instead of mounting the volume at VOLUME directly");
  AddImages(*scan, scan_options.images);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version end well (0); every other parse failure is a usage error.
    return app.exit(e) == 0 ? 0 : kUsageError;
  }

  int status = kUsageError;
  if (*drives) {
    status = cli::CmdDrives(drive_images);
  } else if (*volumes) {
    status = cli::CmdVolumes(volumes_drive, volume_images);
  } else if (*scan) {
    status = cli::CmdScan(scan_options);
  }
  if (debug) PrintDebugLines();
  return status;
}
