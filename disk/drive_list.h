// The physical-drive list: enumeration into rows, image files as rows, and
// closing every drive the list holds.
#pragma once
#include <string>
#include <vector>

#include "app/context.h"

struct PHYDRIVE_INFO;

// Lists the machine's drives. Drives that exist but may not be opened (no
// permission) are named in ctx.drive_access_note and the status line.
int EnumPhyDrives(AppContext& ctx);
// The note for the drives that could not be opened with err (EACCES/EPERM):
// which, why, and how to get access (nothing to ask for when already root);
// empty when there are none.
std::string DriveAccessNote(const std::vector<std::string>& denied, int err, bool root);
int AddPHYDrive(AppContext& ctx, PHYDRIVE_INFO* d);
void CloseAllDrives(AppContext& ctx);

// Image files as drives.
void AddFileToDataStream(AppContext& ctx);
// Opens path as a pseudo-drive and adds its row; shows "Could not open %s" and returns 0 on failure.
int AddImageFile(AppContext& ctx, const std::string& path);

// Where enumeration looks for drives; tests point it at a fake sysfs tree.
struct DriveSource {
  std::string sysfs_block = "/sys/block";
  std::string dev_dir = "/dev";
};
DriveSource& CurrentDriveSource();
