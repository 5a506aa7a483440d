// One volume mounted from its start sector, without the whole-drive search,
// and how far a listed volume reaches past its drive's end.
#pragma once
#include <cstdint>

#include "app/context.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

// The volume that starts at `lba`, mounted as the partition search would
// mount it on reaching that sector: through a partition entry of the MBR or
// its extended chain that starts there (boot record when there is one,
// otherwise the entry), else from a boot record at `lba`. The record is added
// to the logical-drive list (the list is taken to belong to `drive`) unless a
// row already starts there; that row's record is returned then. nullptr when
// neither finds a volume starting at `lba`: the full search may still find
// one (from a backup boot record, or a table met elsewhere).
LOGDRIVE_INFO* MountVolumeAt(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba);

// How many sectors of the volume, as its record claims it, lie past the
// drive's last sector (the whole claim when it starts at or past the end).
std::uint64_t SectorsPastDriveEnd(const LOGDRIVE_INFO& vol, const PHYDRIVE_INFO& drive);
