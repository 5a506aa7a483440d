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
      "  drives   list the physical drives and the given image files as the\n"
      "           physical-drive list shows them: row, Type, Size, path\n",
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
  if (verb == "-h" || verb == "--help" || verb == "help") {
    Usage();
    return 0;
  }
  std::fprintf(stderr, "retrova-cli: unknown command \"%s\"\n", verb.c_str());
  Usage();
  return 2;
}
