// Partition tables, boot-record registration and the logical-drive list.
#pragma once
#include <cstdint>
#include <span>

#include "app/context.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

struct Chs {
  std::uint64_t cylinder = 0, head = 0, sector = 0;
};

void ClassifyScanSector(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
int IsPartitionSector(const PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
int IsBootSector(std::span<const std::uint8_t> sector);
int IsBackupBootPosition(const PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
Chs LbaToChs(const PHYDRIVE_INFO& drive, std::uint64_t lba);
void DecodeChsWord(std::uint16_t word, std::uint64_t& cylinder, std::uint64_t& sector);
int PartitionClass(std::span<const std::uint8_t> entry);
void WalkPartitionTable(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t base_lba, std::span<const std::uint8_t> table);
void WalkExtendedChain(AppContext& ctx, PHYDRIVE_INFO& drive, std::span<const std::uint8_t> entry, std::uint64_t ebr_lba);
void AddBootSectorVolume(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
LOGDRIVE_INFO* MountFromBackup(AppContext& ctx, PHYDRIVE_INFO& drive, std::uint64_t lba, std::span<const std::uint8_t> sector);
int IsLogDriveListed(AppContext& ctx, std::uint64_t lba);
int AddLOGDrive(AppContext& ctx, LOGDRIVE_INFO* record);
void SortLogDriveList(AppContext& ctx);
