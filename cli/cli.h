// retrova-cli: shared pieces of the verbs.
#pragma once
#include <memory>
#include <string>
#include <vector>

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
  // Posts a menu command to the main window and runs it to completion.
  void Command(int id);
  // Clicks a row of a list of the main window, as the operator would.
  void ClickRow(int list_id, int row);
};

// Each verb: arguments after the verb; returns the exit status.
int CmdDrives(const std::vector<std::string>& args);
int CmdVolumes(const std::vector<std::string>& args);
int CmdScan(const std::vector<std::string>& args);

}  // namespace cli
