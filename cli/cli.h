// retrova-cli: shared pieces of the verbs.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/session.h"
#include "cli/output.h"
#include "scan/records.h"
#include "platform/window.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

namespace cli {

// Counts the error boxes shown (stop icon) since the session began.
int ErrorBoxes();

// The main window's models, opened and initialised as at start-up, with the
// given image files added after the drives, in order. Message boxes are
// printed on stderr.
struct Session {
  std::unique_ptr<MainSession> window;
  Dialog* main = nullptr;
  explicit Session(const std::vector<std::string>& images);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Posts a menu command to the main window and runs it to completion; a
  // status line the command leaves standing (not "Idle...") is printed on
  // stderr.
  void Command(int id);
  // Clicks a row of a list of the main window, as the operator would.
  void ClickRow(int list_id, int row);
  // Leaves the window and the scan standing when the session ends, for a
  // verb whose process ends right after: the system takes a large tree's
  // memory back at once, where freeing it record by record costs a fast
  // scan a tenth of its time. Sanitizer builds take it apart all the same,
  // so that their leak check still sees the teardown.
  void LeaveStanding() { leave_standing = true; }
  bool leave_standing = false;
};

// DRIVE as every verb takes it: a row index of the physical-drive list (the
// drives, then the --image files), a device or image path already in that
// list, or the path of an image file, which is then added as the last row.
// The row, or -1 after naming the rows that exist on stderr.
int ResolveDrive(AppContext& ctx, const char* verb, const std::string& drive);

struct ScanOptions {
  std::string drive;
  std::uint64_t volume = 0;
  bool slow = false;
  bool search = false;  // the whole-drive search first, as `volumes` runs it
  std::vector<std::string> images;
  std::string load;  // a saved-scan file to load in place of DRIVE VOLUME and the scan
};

// The drive and volume a verb works on, their rows clicked and the volume
// scanned as `scan` does it; -1 when the tree is ready, else the exit status
// (messages printed, prefixed "retrova-cli VERB: ").
struct ScannedVolume {
  PHYDRIVE_INFO* drive = nullptr;
  LOGDRIVE_INFO* vol = nullptr;
};
int ScanVolume(Session& s, const ScanOptions& options, const char* verb, ScannedVolume& out);

// Ticks the directory tree items named by paths as `scan` prints them
// ("Root", "Root/Documents"), each as a click on its check box would (an
// item already ticked is left); false after naming one that is not there.
bool TickTreePaths(Session& s, const char* verb, const std::vector<std::string>& paths);
// A file's path in the tree as `scan` prints it.
Field TreePathOf(const TreeItem* dir_item, const FILE_INODE& f);

// The file finder's choices, as the find verb and recover take them.
struct FinderSelection {
  bool graphic = false, mail = false, text = false, sound = false, database = false, archive = false;
  bool deleted = false;
  bool has_patterns = false;
  std::string patterns;  // the "User Defined" text
  bool Any() const { return graphic || mail || text || sound || database || archive || deleted || has_patterns; }
};
struct FindOptions {
  ScanOptions scan;
  FinderSelection select;
};
// Runs the finder over the scanned tree: marks the files it finds and ticks
// their directories. Prints every file found in the scan line format when
// `print` is set, then "found N, listed M" on stderr. -1 when done, else the
// exit status (a refused pattern list).
int RunFinder(const FinderSelection& select, const char* verb, bool print);
// One file as `scan` prints it.
void PrintFileLine(const Field& path, const FILE_INODE& f);

struct RecoverOptions {
  FinderSelection select;
  ScanOptions scan;
  std::string dest;
  bool flat = false;
  std::vector<std::string> paths;
};
struct SaveOptions {
  ScanOptions scan;
  std::string folder;
};
struct VerifyOptions {
  ScanOptions scan;
  std::vector<std::string> paths;
};

// clone and wipe: writing verbs; without yes they only describe the write.
struct CloneOptions {
  std::string source, dest;
  std::uint64_t source_start = 0, dest_start = 0;
  std::optional<std::uint64_t> total;  // default: what fits after both starts
  bool yes = false;
};
struct WipeOptions {
  std::string drive;
  std::uint64_t start = 0;
  std::optional<std::uint64_t> total;  // default: what fits after start
  std::string method = "dod";
  std::uint32_t iterations = 3;
  bool yes = false;
};
// The drive record of DRIVE (see ResolveDrive); null after naming the rows.
PHYDRIVE_INFO* ResolveDriveRecord(AppContext& ctx, const char* verb, const std::string& drive);
int CmdClone(const CloneOptions& options);
int CmdWipe(const WipeOptions& options);

// Each verb returns the exit status.
int CmdDrives(const std::vector<std::string>& images);
int CmdVolumes(const std::string& drive, const std::vector<std::string>& images);
int CmdScan(const ScanOptions& options);
int CmdRecover(const RecoverOptions& options);
int CmdVerify(const VerifyOptions& options);
int CmdSave(const SaveOptions& options);
int CmdFind(const FindOptions& options);

}  // namespace cli
