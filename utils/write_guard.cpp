#include "utils/write_guard.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "disk/phydrive.h"
#include "platform/frontend.h"

namespace fs = std::filesystem;

std::uint64_t SectorsAfter(const PHYDRIVE_INFO& d, std::uint64_t start) {
  return start < d.total_sectors ? d.total_sectors - start : 0;
}

std::string CheckRange(const PHYDRIVE_INFO& d, std::uint64_t start, std::uint64_t count, const char* what) {
  char text[300];
  if (count == 0) {
    std::snprintf(text, sizeof text, "%s: Total is 0, nothing to do.", what);
    return text;
  }
  if (start >= d.total_sectors || count > d.total_sectors - start) {
    std::snprintf(text, sizeof text,
                  "%s: sectors %" PRIu64 " + %" PRIu64 " run past the end of %s (%" PRIu64 " sectors).", what, start,
                  count, d.device_path.c_str(), d.total_sectors);
    return text;
  }
  return {};
}

namespace {

struct Identity {
  bool block = false;
  dev_t dev = 0;  // the device number of a block device, else the file system's
  ino_t ino = 0;
};

std::optional<Identity> IdentityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  if (S_ISBLK(st.st_mode)) return Identity{true, st.st_rdev, 0};
  return Identity{false, st.st_dev, st.st_ino};
}

// The kernel writes blanks and other odd characters in mount tables as \ooo.
std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string SysfsOf(const MountTables& t, dev_t dev) {
  std::error_code ec;
  const fs::path p = fs::canonical(fs::path(t.sysfs) / "dev/block" /
                                       (std::to_string(major(dev)) + ":" + std::to_string(minor(dev))),
                                   ec);
  return ec ? std::string() : p.string();
}

// Whether the block device at sysfs path `dev` lies on one of the targets:
// is one, is a partition of one, or is mapped over one (its slaves), walked
// a bounded number of levels down.
bool LiesOn(const std::string& dev, const std::vector<std::string>& targets, int depth = 0) {
  if (dev.empty() || depth > 8) return false;
  const fs::path p(dev);
  for (const std::string& t : targets)
    if (p == fs::path(t) || p.parent_path() == fs::path(t)) return true;
  std::error_code ec;
  for (const auto& slave : fs::directory_iterator(p / "slaves", ec)) {
    std::error_code ec2;
    const fs::path s = fs::canonical(slave.path(), ec2);
    if (!ec2 && LiesOn(s.string(), targets, depth + 1)) return true;
  }
  return false;
}

// The sysfs paths of the block devices that carry path: the device itself,
// or for an image file every loop device backed by it.
std::vector<std::string> TargetsOf(const std::string& path, const MountTables& t) {
  std::vector<std::string> targets;
  const auto id = IdentityOf(path);
  if (!id) return targets;
  if (id->block) {
    if (std::string s = SysfsOf(t, id->dev); !s.empty()) targets.push_back(s);
    return targets;
  }
  std::error_code ec;
  for (const auto& dev : fs::directory_iterator(fs::path(t.sysfs) / "block", ec)) {
    std::ifstream in(dev.path() / "loop/backing_file");
    std::string backing;
    if (!in || !std::getline(in, backing)) continue;
    const auto bid = IdentityOf(backing);
    if (!bid || bid->block || bid->dev != id->dev || bid->ino != id->ino) continue;
    std::error_code ec2;
    const fs::path c = fs::canonical(dev.path(), ec2);
    if (!ec2) targets.push_back(c.string());
  }
  return targets;
}

// Lines of a table whose first field is a device path, as (device, where).
std::optional<std::string> FirstOnTargets(const std::string& table, bool swaps, const std::vector<std::string>& targets,
                                          const MountTables& t) {
  std::ifstream in(table);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string source, where;
    if (!(fields >> source >> where) || source.empty() || source[0] != '/') continue;
    const auto id = IdentityOf(Unescape(source));
    if (!id || !id->block) continue;
    if (LiesOn(SysfsOf(t, id->dev), targets)) return swaps ? std::string("[swap]") : Unescape(where);
  }
  return std::nullopt;
}

}  // namespace

bool SameDriveFile(const std::string& a, const std::string& b) {
  const auto ia = IdentityOf(a), ib = IdentityOf(b);
  if (!ia || !ib) return a == b;
  return ia->block == ib->block && ia->dev == ib->dev && ia->ino == ib->ino;
}

std::optional<std::string> MountedOn(const std::string& path, const MountTables& tables) {
  const std::vector<std::string> targets = TargetsOf(path, tables);
  if (targets.empty()) return std::nullopt;
  if (auto where = FirstOnTargets(tables.mounts, false, targets, tables)) return where;
  return FirstOnTargets(tables.swaps, true, targets, tables);
}

std::string CheckNotMounted(const PHYDRIVE_INFO& d, const MountTables& tables) {
  const auto where = MountedOn(d.device_path, tables);
  if (!where) return {};
  return DriveLabel(d) + " holds a file system in use at " + *where +
         ". Unmount it first; a drive the system runs from is never written.";
}

std::string DriveLabel(const PHYDRIVE_INFO& d) { return std::string(d.model) + " (" + d.device_path + ")"; }

bool ConfirmWrite(Dialog* owner, const std::string& text, const std::string& title) {
  return fe_MessageBox(owner, text, title, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

void ShowRefusal(Dialog* owner, const std::string& text, const std::string& title) {
  fe_MessageBox(owner, text, title, MB_OK | MB_ICONSTOP);
}
