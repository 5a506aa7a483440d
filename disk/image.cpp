// Disk images as drives: a file's bytes are the sectors of one more row of
// the physical-drive list. Container and split images are read through the
// handle sys_OpenImage gives (platform/image_formats): every reader of the
// drive sees the disk they hold, and nothing writes into them.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "disk/phydrive.h"

void FillImageDriveInfo(PHYDRIVE_INFO& d, const std::string& path, std::uint64_t size_bytes, ImageFormat format) {
  // A container says what it is in front of its path (the drive list's
  // Type); a raw image is named by its path alone.
  const std::string type = format == ImageFormat::Raw ? path : std::string(ImageFormatName(format)) + ": " + path;
  std::memset(d.model, 0, sizeof d.model);
  std::memcpy(d.model, type.data(), std::min(type.size(), sizeof d.model - 1));
  std::memset(d.serial, 0, sizeof d.serial);
  std::memset(d.firmware, 0, sizeof d.firmware);
  const std::string_view name = ImageFormatName(format);
  std::memcpy(d.firmware, name.data(), std::min(name.size(), sizeof d.firmware - 1));
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

PHYDRIVE_INFO* OpenImageDrive(const std::string& path, std::string& reason, std::string* image_problem) {
  std::string problem;
  DevHandle h = sys_OpenImage(path, problem);
  if (h == kNoDevice && !problem.empty()) {
    reason = problem;
    if (image_problem) *image_problem = problem;
    return nullptr;
  }
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
  FillImageDriveInfo(*d, path, *size, sys_HandleFormat(h));
  d->handle = h;
  return d;
}
