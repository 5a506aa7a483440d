// Shared by the libFuzzer targets that drive the engine through a headless
// main window: an image file the window opens as a drive, a drive source
// that enumerates no real drive, and a window that gives back everything it
// held when it goes (as leaving the program does), so that inputs do not
// leak into one another.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "app/context.h"
#include "app/main_window.h"
#include "app/session.h"
#include "app/status.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/headless/headless.h"
#include "platform/window.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "volume/logdrive.h"

namespace fuzz {

// An in-memory file, rewritten for each input; the engine opens it by path
// like any image file.
class ImageFile {
 public:
  explicit ImageFile(const char* name) : fd_(memfd_create(name, 0)) {
    if (fd_ >= 0) path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

  // The file becomes `bytes` followed by zeros up to `file_size` bytes.
  bool Write(std::span<const std::uint8_t> bytes, std::size_t file_size) {
    if (::ftruncate(fd_, 0) != 0) return false;
    if (!bytes.empty() && ::pwrite(fd_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
      return false;
    return ::ftruncate(fd_, static_cast<off_t>(file_size)) == 0;
  }
  // Writes `bytes` at byte offset `at` of the file.
  bool WriteAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return bytes.empty() ||
           ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(at)) == static_cast<ssize_t>(bytes.size());
  }

 private:
  int fd_;
  std::string path_;
};

// Points drive enumeration at an empty directory for the life of the
// process: the image is the only drive, whatever machine runs the fuzzer.
class EmptyDriveSource {
 public:
  EmptyDriveSource() {
    namespace fs = std::filesystem;
    std::error_code ec;
    dir_ = fs::temp_directory_path(ec) / ("retrova-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "sysfs", ec);
    ok_ = !ec;
    CurrentDriveSource() = DriveSource{(dir_ / "sysfs").string(), (dir_ / "dev").string()};
  }
  ~EmptyDriveSource() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }

 private:
  std::filesystem::path dir_;
  bool ok_ = false;
};

// A fresh context and a headless main window; gives back what it held when it goes.
class MainWindow {
 public:
  MainWindow() {
    headless::Reset();
    session_ = std::make_unique<MainSession>();
    session_->Open();
  }
  ~MainWindow() {
    session_.reset();
    headless::Reset();
  }
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  bool ok() const { return session_->dialog() != nullptr; }
  // Dispatches queued messages, a bounded number of them.
  void Drain() {
    for (int guard = 0; guard < 100000 && DispatchNext(); ++guard) {
    }
  }

 private:
  std::unique_ptr<MainSession> session_;
};

}  // namespace fuzz
