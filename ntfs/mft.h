// NTFS file records: the "FILE" test, decoding a record into an INODE_RECD,
// the $MFT's own record and mapping record numbers through its Run List.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "app/context.h"
#include "ntfs/attribute.h"
#include "scan/records.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

inline constexpr std::uint64_t kNoLba = ~0ULL;

// The "FILE" test on a 1024-byte record (the update sequence is checked, not
// restored). A probe: it writes no debug line.
bool IsFileRecord(std::span<const std::uint8_t> record);

// Decodes a record read during a scan (restoring its update sequence in
// place); null when it cannot be decoded. Runs are range-tested against vol;
// records named by an attribute list are read from drive through mft's Run
// List. ctx only counts read errors.
INODE_RECD* DecodeScanRecord(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const INODE_RECD* mft,
                             std::span<std::uint8_t> record, std::uint64_t number);
// Reads and decodes the volume's $MFT record into ctx.mft_inode; 1 when there is one.
int DecodeMftRecord(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol);
// Reads record `number` into buffer through the $MFT's Run List; its LBA, or kNoLba.
std::uint64_t MapRecordToLba(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const INODE_RECD* mft,
                             std::span<std::uint8_t> buffer, std::uint64_t number);
// The first resident Win32 (or Win32-and-DOS) name of a record; empty when none.
std::string ReadRecordLongName(std::span<std::uint8_t> record);
