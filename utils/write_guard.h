// Checks every writing utility makes before it writes: the range fits the
// drive, the drive holds no mounted file system, and the operator agreed.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

struct AppContext;
struct Dialog;
struct PHYDRIVE_INFO;

// The sectors left on the drive from start on (0 when start is past the end).
std::uint64_t SectorsAfter(const PHYDRIVE_INFO& d, std::uint64_t start);
// Empty when count sectors from start lie on the drive and count is not 0;
// else the refusal, naming `what` ("Source", "Destination", "Target").
std::string CheckRange(const PHYDRIVE_INFO& d, std::uint64_t start, std::uint64_t count, const char* what);
// Whether two paths name the same device or file, however they are spelt
// (block devices by their device number, files by device and inode).
bool SameDriveFile(const std::string& a, const std::string& b);

// Where the tables of mounts and active swaps are read; tests point them
// at their own files.
struct MountTables {
  std::string mounts = "/proc/self/mounts";
  std::string swaps = "/proc/swaps";
  std::string sysfs = "/sys";
};
// The mount point of a file system on the device or image at path (a
// partition of a disk, a device mapped over it, or a loop device backed by
// an image file count), "[swap]" for active swap; nullopt when none.
std::optional<std::string> MountedOn(const std::string& path, const MountTables& tables = {});
// Empty when d may be written; else the refusal naming the mount point.
std::string CheckNotMounted(const PHYDRIVE_INFO& d, const MountTables& tables = {});

// "MODEL (PATH)" as confirmations and refusals name a drive.
std::string DriveLabel(const PHYDRIVE_INFO& d);
// Asks text with Yes and No, No the default; true only for Yes.
bool ConfirmWrite(Dialog* owner, const std::string& text, const std::string& title);
// Shows a refusal or failure (stop icon).
void ShowRefusal(Dialog* owner, const std::string& text, const std::string& title);
