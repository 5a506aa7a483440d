// The folders a copy-out runs in, shared by fuzz_copy and the crafted-volume
// tests: <base>/g/g/g/g/dest receives the copy and holds the operator's own
// files and links beforehand; <base>/outside and <base>/cwd (the working
// directory meanwhile) must stay empty, and each g hold only the next, so
// that a name climbing out of dest ("../../x") shows up however far it goes
// below base. Violation() says what the copy did wrong.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>

namespace fuzz {

class Sandbox {
 public:
  using path = std::filesystem::path;

  explicit Sandbox(const path& base) : base_(base) {
    std::error_code ec;
    std::filesystem::create_directories(base_ / "cwd", ec);
    std::filesystem::create_directories(base_ / "outside", ec);
    ok_ = !ec && home_ >= 0 && ::chdir((base_ / "cwd").c_str()) == 0;
  }
  ~Sandbox() {
    std::error_code ec;
    if (home_ >= 0) {
      if (::fchdir(home_) != 0) __builtin_trap();
      ::close(home_);
    }
    std::filesystem::remove_all(base_, ec);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  bool ok() const { return ok_; }
  static constexpr int kGuards = 4;
  path guard(int level) const {
    path p = base_;
    for (int i = 0; i < level; ++i) p /= "g";
    return p;
  }
  path dest() const { return guard(kGuards) / "dest"; }
  path outside() const { return base_ / "outside"; }

  // A fresh destination with the operator's own things in it: names a copy
  // of the fuzz seeds and crafted volumes reaches (Root's folder and its
  // suffixed names, a flat copy's first files), links out of it.
  bool Prepare() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::remove_all(dest(), ec);
    fs::create_directories(dest() / "Root", ec);
    if (ec) return false;
    std::ofstream(dest() / "Root" / "mine.txt") << "operator's own";
    std::ofstream(dest() / "FUZZVOL") << "operator's own";
    fs::create_directory_symlink(outside(), dest() / "Root.5", ec);
    if (!ec) fs::create_symlink(outside() / "nowhere", dest() / "Root.6", ec);
    if (!ec) fs::create_symlink(outside() / "nowhere", dest() / "Readme.txt", ec);
    if (!ec) fs::create_symlink(outside() / "nowhere", dest() / "Root" / "_..", ec);
    before_ = Snapshot();
    return !ec && error_.empty();
  }

  // Empty when the copy wrote nothing but new plain files and folders inside dest.
  std::string Violation() {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_empty(outside(), ec) || ec) return "something was written outside the destination";
    if (!fs::is_empty(base_ / "cwd", ec) || ec) return "something was written into the working directory";
    for (int level = 0; level <= kGuards; ++level) {
      std::size_t entries = 0;
      for (fs::directory_iterator it(guard(level), ec), end; !ec && it != end; it.increment(ec)) ++entries;
      if (ec || entries != (level == 0 ? 3u : 1u)) return "something was written above the destination";
    }
    const std::map<path, Entry> after = Snapshot();
    if (!error_.empty()) return error_;
    for (const auto& [p, was] : before_) {
      const auto now = after.find(p);
      if (now == after.end()) return "the operator's " + p.string() + " is gone";
      if (now->second.mode != was.mode || now->second.ino != was.ino || now->second.size != was.size ||
          now->second.mtime_ns != was.mtime_ns)
        return "the operator's " + p.string() + " was changed";
    }
    for (const auto& [p, e] : after)
      if (!before_.contains(p) && !S_ISREG(e.mode) && !S_ISDIR(e.mode)) return p.string() + " is neither file nor folder";
    return {};
  }

  // The plain files the copy added, and the bytes they take on disk (a
  // file whose source ran out is as long as it claims, its rest a hole).
  std::size_t new_files() const { return new_files_; }
  std::uint64_t new_bytes() const { return new_bytes_; }

 private:
  struct Entry {
    mode_t mode = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtime_ns = 0;
  };
  // Every entry under dest, links not followed.
  std::map<path, Entry> Snapshot() {
    std::map<path, Entry> out;
    std::error_code ec;
    new_files_ = 0;
    new_bytes_ = 0;
    for (std::filesystem::recursive_directory_iterator it(dest(), ec), end; !ec && it != end; it.increment(ec)) {
      struct stat st{};
      if (::lstat(it->path().c_str(), &st) != 0) {
        error_ = "cannot look at " + it->path().string();
        return out;
      }
      out[it->path()] = {st.st_mode, st.st_ino, st.st_size,
                         std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
      if (S_ISREG(st.st_mode) && !before_.contains(it->path())) {
        ++new_files_;
        new_bytes_ += static_cast<std::uint64_t>(st.st_blocks) * 512;
      }
    }
    if (ec) error_ = "cannot walk the destination: " + ec.message();
    return out;
  }

  int home_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // the working directory before
  path base_;
  bool ok_ = false;
  std::map<path, Entry> before_;
  std::string error_;
  std::size_t new_files_ = 0;
  std::uint64_t new_bytes_ = 0;
};

}  // namespace fuzz
