// TEMPORARY stand-ins until recover/ntfs_copy.cpp and recover/ntfs_units.cpp
// land: every NTFS file fails and no NTFS record is examined. Delete at merge.
#include "recover/copy_file.h"
#include "recover/ntfs_units_stub.h"

int CopyNtfsFile(AppContext&, PHYDRIVE_INFO&, const LOGDRIVE_INFO&, FILE_INODE&, const OutputDir&, CopyResult& result) {
  result = CopyResult{};
  return 0;
}

bool VerifyNtfsFileUnits(AppContext&, PHYDRIVE_INFO&, const LOGDRIVE_INFO&, const FILE_INODE&,
                         const std::function<bool(std::uint64_t, std::uint64_t)>&) {
  return false;
}
