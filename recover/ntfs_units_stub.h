// TEMPORARY until recover/ntfs_units.h lands: the declaration verify.cpp
// builds against. Delete at merge and include recover/ntfs_units.h instead.
#pragma once
#include <cstdint>
#include <functional>

#include "app/context.h"
#include "disk/phydrive.h"
#include "scan/records.h"
#include "volume/logdrive.h"

// Calls each_run for every non-sparse run piece of the file's data, in
// order; false when the record cannot be read or decoded.
bool VerifyNtfsFileUnits(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const FILE_INODE& f,
                         const std::function<bool(std::uint64_t first_cluster, std::uint64_t clusters)>& each_run);
