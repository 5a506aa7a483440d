// The main window opened as start-up opens it and closed as leaving the
// program closes it: the one way the desktop program, the CLI, the tests,
// the benchmarks and the fuzz targets hold a main window.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/window.h"

class MainSession {
 public:
  // Zeroes the context and the queue and builds the main window's models;
  // the image files join the drive list, in order, when the window initialises.
  explicit MainSession(const std::vector<std::string>& images = {});
  // Gives back what the window held: the scan, the volume rows and records,
  // the drives and the image list.
  ~MainSession();
  MainSession(const MainSession&) = delete;
  MainSession& operator=(const MainSession&) = delete;

  // Null only when the main window's template is missing.
  Dialog* dialog() const { return dlg_.get(); }
  // Initialises the window without running its loop (the CLI and the tests
  // drive the queue themselves); show: let the front end build its widgets first.
  void Open(bool show = false);
  // Runs the window's loop until it ends (the desktop program).
  std::intptr_t Run();

 private:
  std::unique_ptr<Dialog> dlg_;
};

// Runs the program: zeroes the context, runs the main dialog, adds the given
// image files as drives once the window exists. Returns the dialog's end code.
std::intptr_t RetrovaMain(const std::vector<std::string>& image_paths);
