// retrova-cli: the headless operator. Each verb runs the same commands the
// menus post, with dialog answers taken from its arguments, and prints
// stable tab-separated tables on stdout; messages and progress go to stderr.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace {

void Usage() {
  std::fputs(
      "usage: retrova-cli drives [IMAGE...]\n"
      "       retrova-cli volumes DRIVE [--image IMAGE...]\n"
      "       retrova-cli scan DRIVE VOLUME [--slow] [--image IMAGE...]\n"
      "  drives   list the physical drives and the given image files as the\n"
      "           physical-drive list shows them: row, Type, Size, path\n"
      "  volumes  search DRIVE (a row index, a device path or an image path) for\n"
      "           volumes and print the logical-drive list: Logical LBA,\n"
      "           File System, Size, fs_type, mount_flags\n"
      "  scan     search DRIVE, then run the fast (or --slow) logical scan of the\n"
      "           volume whose Logical LBA is VOLUME; print one line per\n"
      "           directory and file in tree order: path from Root, in-use or\n"
      "           deleted, size, date, own number\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  const std::string verb = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (verb == "drives") return cli::CmdDrives(args);
  if (verb == "volumes") return cli::CmdVolumes(args);
  if (verb == "scan") return cli::CmdScan(args);
  if (verb == "-h" || verb == "--help" || verb == "help") {
    Usage();
    return 0;
  }
  std::fprintf(stderr, "retrova-cli: unknown command \"%s\"\n", verb.c_str());
  Usage();
  return 2;
}
