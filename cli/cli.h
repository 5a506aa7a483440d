// retrova-cli: shared pieces of the verbs.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/session.h"
#include "platform/window.h"

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
};

// Each verb returns the exit status.
int CmdDrives(const std::vector<std::string>& images);
int CmdVolumes(const std::string& drive, const std::vector<std::string>& images);
int CmdScan(const ScanOptions& options);

}  // namespace cli
