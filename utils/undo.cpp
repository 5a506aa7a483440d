#include "utils/undo.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "disk/phydrive.h"

namespace {

constexpr const char* kMagic = "retrova-undo 1";
// A boot or partition record is a few sectors; a larger range in a file is damage.
constexpr std::uint64_t kMaxUndoSectors = 1u << 16;

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  return s;
}

std::string RestOf(const std::string& line, const std::string& key) {
  return line.compare(0, key.size() + 1, key + " ") == 0 ? line.substr(key.size() + 1) : std::string();
}

}  // namespace

std::filesystem::path UndoDir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::filesystem::path(xdg) / "retrova" / "undo";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : "/tmp") / ".local" / "share" / "retrova" / "undo";
}

std::string UndoFileName(const PHYDRIVE_INFO& d, std::uint64_t lba) {
  std::string drive = std::filesystem::path(d.device_path).filename().string();
  for (char& c : drive)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') c = '_';
  if (drive.empty()) drive = "drive";
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  return drive + "-lba" + std::to_string(lba) + "-" + stamp + ".undo";
}

std::optional<UndoFile> CaptureUndo(AppContext& ctx, PHYDRIVE_INFO& d, const std::vector<SectorWrite>& writes,
                                    std::string& error) {
  UndoFile u{d.device_path, d.model, d.serial, d.total_sectors, {}};
  for (const SectorWrite& w : writes) {
    UndoRange r{w.lba, std::vector<std::uint8_t>(w.bytes.size())};
    if (ReadSectors(ctx, d, w.lba, r.bytes) != 1) {
      error = "sector " + std::to_string(w.lba) + " could not be read to save it";
      return std::nullopt;
    }
    u.ranges.push_back(std::move(r));
  }
  return u;
}

std::optional<std::filesystem::path> SaveUndo(const UndoFile& u, const PHYDRIVE_INFO& d, std::string& error) {
  const std::filesystem::path dir = UndoDir();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    error = "cannot make " + dir.string() + ": " + ec.message();
    return std::nullopt;
  }
  std::filesystem::path path = dir / UndoFileName(d, u.ranges.empty() ? 0 : u.ranges.front().lba);
  // Two saves in one second get distinct names rather than one replacing the other.
  for (int n = 2; std::filesystem::exists(path) && n < 1000; ++n)
    path = dir / (path.stem().string() + "-" + std::to_string(n) + ".undo");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << kMagic << "\ndevice " << OneLine(u.device_path) << "\nmodel " << OneLine(u.model) << "\nserial "
      << OneLine(u.serial) << "\nsectors " << u.total_sectors << "\n";
  for (const UndoRange& r : u.ranges) out << "range " << r.lba << " " << r.bytes.size() / kSectorSize << "\n";
  out << "end\n";
  for (const UndoRange& r : u.ranges) out.write(reinterpret_cast<const char*>(r.bytes.data()), r.bytes.size());
  out.close();
  if (!out) {
    error = "cannot write " + path.string();
    std::filesystem::remove(path, ec);
    return std::nullopt;
  }
  return path;
}

std::optional<UndoFile> LoadUndo(const std::filesystem::path& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path.string();
    return std::nullopt;
  }
  UndoFile u;
  std::string line;
  if (!std::getline(in, line) || line != kMagic) {
    error = path.string() + " is not an undo file";
    return std::nullopt;
  }
  std::vector<std::uint64_t> counts;
  bool ended = false;
  for (int lines = 0; lines < 1000 && std::getline(in, line); ++lines) {
    if (line == "end") {
      ended = true;
      break;
    }
    if (line.rfind("device ", 0) == 0) u.device_path = RestOf(line, "device");
    else if (line.rfind("model ", 0) == 0) u.model = RestOf(line, "model");
    else if (line.rfind("serial ", 0) == 0) u.serial = RestOf(line, "serial");
    else if (line.rfind("sectors ", 0) == 0) u.total_sectors = std::strtoull(line.c_str() + 8, nullptr, 10);
    else if (line.rfind("range ", 0) == 0) {
      std::istringstream fields(line.substr(6));
      std::uint64_t lba = 0, count = 0;
      if (!(fields >> lba >> count) || count == 0 || count > kMaxUndoSectors) {
        error = path.string() + ": bad range line";
        return std::nullopt;
      }
      u.ranges.push_back({lba, {}});
      counts.push_back(count);
    }
  }
  if (!ended || u.ranges.empty()) {
    error = path.string() + ": the header is incomplete";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < u.ranges.size(); ++i) {
    u.ranges[i].bytes.resize(counts[i] * kSectorSize);
    if (!in.read(reinterpret_cast<char*>(u.ranges[i].bytes.data()), u.ranges[i].bytes.size())) {
      error = path.string() + ": the saved sectors are cut short";
      return std::nullopt;
    }
  }
  return u;
}

std::string UndoMismatch(const UndoFile& u, const PHYDRIVE_INFO& d) {
  if (u.total_sectors != d.total_sectors)
    return "the file was saved from a drive of " + std::to_string(u.total_sectors) + " sectors; this one has " +
           std::to_string(d.total_sectors);
  if (u.model != d.model || u.serial != d.serial)
    return "the file was saved from \"" + u.model + "\" serial \"" + u.serial + "\"; this drive is \"" +
           std::string(d.model) + "\" serial \"" + std::string(d.serial) + "\"";
  if (u.serial.empty() &&
      std::filesystem::path(u.device_path).filename() != std::filesystem::path(d.device_path).filename())
    return "the file was saved from " + u.device_path + ", not " + d.device_path;
  for (const UndoRange& r : u.ranges)
    if (r.lba > d.total_sectors || d.total_sectors - r.lba < r.bytes.size() / kSectorSize)
      return "a saved range lies past the drive's end";
  return {};
}

UndoWriteOutcome WriteWithUndo(AppContext& ctx, PHYDRIVE_INFO& d, const std::vector<SectorWrite>& writes) {
  UndoWriteOutcome out;
  // Refused before an undo file is made for a write that cannot happen.
  if (out.error = WriteRefusal(d); !out.error.empty()) return out;
  std::optional<UndoFile> undo = CaptureUndo(ctx, d, writes, out.error);
  if (!undo) return out;
  std::optional<std::filesystem::path> saved = SaveUndo(*undo, d, out.error);
  if (!saved) return out;
  out.undo_path = *saved;
  for (const SectorWrite& w : writes) {
    if (WriteSectors(d, w.lba, w.bytes) != 1) {
      out.error = "writing the " + w.what + " at sector " + std::to_string(w.lba) + " failed";
      return out;
    }
  }
  out.ok = true;
  return out;
}

bool RestoreUndo(const UndoFile& u, PHYDRIVE_INFO& d, std::string& error) {
  if (error = WriteRefusal(d); !error.empty()) return false;
  for (const UndoRange& r : u.ranges) {
    if (WriteSectors(d, r.lba, r.bytes) != 1) {
      error = "writing sector " + std::to_string(r.lba) + " failed";
      return false;
    }
  }
  return true;
}
