// retrova-cli save: the volume scanned as `scan` does it (or a saved scan
// loaded), then "Save Current Scan" into FOLDER, made if missing.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "cli/cli.h"
#include "cli/output.h"
#include "platform/headless/headless.h"
#include "res/ids.h"

namespace cli {

int CmdSave(const SaveOptions& o) {
  Session s(o.scan.images);
  ScannedVolume sv;
  if (const int status = ScanVolume(s, o.scan, "save", sv); status >= 0) return status;
  std::error_code ec;
  std::filesystem::create_directories(o.folder, ec);
  if (ec) {
    std::fprintf(stderr, "retrova-cli save: cannot make the folder \"%s\": %s\n", EscapeText(o.folder).c_str(),
                 ec.message().c_str());
    return 1;
  }
  const int errors = ErrorBoxes();
  headless::AnswerFolder(o.folder);
  s.Command(IDM_SAVE_SCAN);
  if (ErrorBoxes() != errors) return 1;
  std::fprintf(stderr, "saved into %s\n", EscapeText((std::filesystem::path(o.folder) / "Save Scan.qsn").string()).c_str());
  return 0;
}

}  // namespace cli
