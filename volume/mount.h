// Volume records from boot records, backups, or partition entries alone.
#pragma once
#include <cstdint>
#include <span>

#include "app/context.h"
#include "volume/partition.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

LOGDRIVE_INFO* MountLogDrive(std::uint64_t start_lba, std::span<const std::uint8_t> boot_record);
std::uint32_t FsTypeFromBootRecord(std::span<const std::uint8_t> boot_record);
// Mounts the volume whose backup boot record is at lba (six sectors in on
// FAT32, the last sector on NTFS); its mount_flags carry 0x42 on top.
LOGDRIVE_INFO* MountFromBackup(PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
LOGDRIVE_INFO* BuildLogDriveFromEntry(AppContext& ctx, PHYDRIVE_INFO& drive, std::span<const std::uint8_t> entry,
                                      std::uint64_t start_lba);
void SetDefaultBootNames(PartClass partition_class, LOGDRIVE_INFO& record);
// type: an fs_type code (kFsFat12 ... kFsNtfs; others get the FAT32/other default).
std::uint32_t ClusterSizeForVolume(std::uint64_t total_sectors, std::uint32_t type);
std::uint64_t EstimateFatSectors(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint32_t type, std::uint32_t sectors_per_cluster,
                                 std::uint64_t total_sectors, std::uint64_t reserved_sectors, std::uint64_t fat_lba);
void SetNtfsRecordDefaults(LOGDRIVE_INFO& record);
// Starts a new allowance of sectors for the second-FAT walks of EstimateFatSectors
// (one per partition search).
void ResetFatProbeBudget();
// A volume's clusters are taken only as far as the drive holds them: a boot
// record or entry claiming more (a damaged record, or a truncated image) would
// otherwise size FAT tables and cluster maps, and scans, from the claim.
// The record's own sizes (total_sectors) are kept as read.
void FitVolumeToDrive(LOGDRIVE_INFO& record, const PHYDRIVE_INFO& drive);
