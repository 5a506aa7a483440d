// Volume records from boot records, backups, or partition entries alone.
#pragma once
#include <cstdint>
#include <span>

#include "app/context.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

LOGDRIVE_INFO* MountLogDrive(AppContext& ctx, std::uint64_t start_lba, std::span<const std::uint8_t> boot_record);
std::uint32_t FsTypeFromBootRecord(std::span<const std::uint8_t> boot_record);
LOGDRIVE_INFO* BuildLogDriveFromEntry(AppContext& ctx, PHYDRIVE_INFO& drive, std::span<const std::uint8_t> entry,
                                      std::uint64_t start_lba);
void SetDefaultBootNames(AppContext& ctx, int partition_class, LOGDRIVE_INFO& record);
std::uint32_t ClusterSizeForVolume(std::uint64_t total_sectors, int type);
std::uint64_t EstimateFatSectors(AppContext& ctx, PHYDRIVE_INFO& drive, int type, std::uint32_t sectors_per_cluster,
                                 std::uint64_t total_sectors, std::uint64_t reserved_sectors, std::uint64_t fat_lba);
void SetNtfsRecordDefaults(LOGDRIVE_INFO& record);
