// The partition search's walks over tables, extended chains and boot
// records, and the logical-drive list they fill.
#pragma once
#include <cstdint>
#include <span>

#include "app/context.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

void ClassifyScanSector(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
// Starts a partition search: the EBRs walked by the last one may be walked again.
void BeginPartitionSearch();
void WalkPartitionTable(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t base_lba, std::span<const std::uint8_t> table);
void WalkExtendedChain(AppContext& ctx, PHYDRIVE_INFO& drive, std::span<const std::uint8_t> entry, std::uint64_t ebr_lba);
void AddBootSectorVolume(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
int IsLogDriveListed(AppContext& ctx, std::uint64_t lba);
int AddLOGDrive(AppContext& ctx, LOGDRIVE_INFO* record);
void SortLogDriveList(AppContext& ctx);
