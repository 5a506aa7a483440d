// Disk images as drives: a file's bytes are the sectors of one more row of
// the physical-drive list.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "disk/phydrive.h"

void FillImageDriveInfo(PHYDRIVE_INFO& d, const std::string& path, std::uint64_t size_bytes) {
  std::memset(d.model, 0, sizeof d.model);
  std::memcpy(d.model, path.data(), std::min(path.size(), sizeof d.model - 1));
  std::memset(d.serial, 0, sizeof d.serial);
  std::memset(d.firmware, 0, sizeof d.firmware);
  d.drive_number = 0;
  // A partial last sector is still a sector: its bytes can be read.
  d.total_sectors = size_bytes / kSectorSize + (size_bytes % kSectorSize != 0 ? 1 : 0);
  d.heads = 255;
  d.sectors_per_track = 63;
  d.sectors_per_cylinder = 255 * 63;
  d.cylinders = d.total_sectors / d.sectors_per_cylinder;
  d.size_mb = static_cast<std::int64_t>(d.total_sectors / 2048);
  d.read_errors = 0;
  d.device_path = path;
}

PHYDRIVE_INFO* OpenImageDrive(const std::string& path, std::string& reason) {
  DevHandle h = sys_OpenRead(path);
  // Only something with sectors is a drive: a directory opens but has none.
  std::optional<std::uint64_t> size = h != kNoDevice ? sys_GetSize(h) : std::nullopt;
  if (!size) {
    reason = sys_ErrorText(sys_LastError());
    sys_Close(h);
    return nullptr;
  }
  PHYDRIVE_INFO* d = new (std::nothrow) PHYDRIVE_INFO{};
  if (d == nullptr) {
    reason = "out of memory";
    sys_Close(h);
    return nullptr;
  }
  FillImageDriveInfo(*d, path, *size);
  d->handle = h;
  return d;
}
