// NTFS file records: the "FILE" test, the update sequence, decoding a record
// into an INODE_RECD, the $MFT's own record and map, and locating the $MFT.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "app/context.h"
#include "scan/records.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

inline constexpr std::size_t kMftRecordSize = 1024;
inline constexpr std::uint64_t kNoLba = ~0ULL;

enum class UpdateSequenceMode { Check, Restore };

// The "FILE" test on a 1024-byte record (the update sequence is checked, not restored).
bool IsFileRecord(std::span<const std::uint8_t> record);
// 1 when the last word of every sector carries the update sequence number
// (its low byte); Restore then puts the saved words back. A buffer that fails
// is left unchanged.
int ApplyUpdateSequence(std::span<std::uint8_t> buffer, std::size_t sector_size, UpdateSequenceMode mode);

// Decodes a record read during a scan (restoring its update sequence in
// place); null when it cannot be decoded. Runs are range-tested against vol;
// records named by an attribute list are read through ctx.mft_inode from the
// drive selected in the physical-drive list.
INODE_RECD* DecodeScanRecord(AppContext& ctx, const LOGDRIVE_INFO& vol, std::span<std::uint8_t> record,
                             std::uint64_t number);
// Reads and decodes the volume's $MFT record into ctx.mft_inode; 1 when there is one.
int DecodeMftRecord(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol);
// Reads record `number` into buffer through the $MFT's Run List; its LBA, or kNoLba.
std::uint64_t MapRecordToLba(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const INODE_RECD* mft,
                             std::span<std::uint8_t> buffer, std::uint64_t number);
// Looks for the $MFT at the fixed candidate clusters; sets vol.mft_lba when found. 1 when found.
int LocateMft(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol);
// The first resident Win32 (or Win32-and-DOS) name of a record; empty when none.
std::string ReadRecordLongName(std::span<std::uint8_t> record);
