// The NTFS scans: the logical-scan commands dispatch here for NTFS volumes.
// Both hand every named record they decode to the pending lists, which the
// linking steps then turn into the scan tree.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "app/context.h"
#include "app/status.h"
#include "scan/records.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

// Fast: every record the $MFT's Run List maps, in record-number order.
// 1 when it ran to its end (also when terminated), 0 when the $MFT record
// could not be decoded (the tree and file list are then left empty).
int FastNtfsScan(AppContext& ctx);
// Slow: every sector position of the volume tested for the start of a record.
void SlowNtfsScan(AppContext& ctx);

// A stretch of consecutive record numbers lying at consecutive sectors.
struct MftRecordSpan {
  std::uint64_t first = 0;  // record number
  std::uint64_t count = 0;
  std::uint64_t lba = 0;    // of record `first`
};

// The record numbers the $MFT's Run List maps, as disjoint spans in
// ascending order. A number is mapped as MapRecordToLba maps it: by the first
// run of the list that covers it.
std::vector<MftRecordSpan> MapMftRecords(const INODE_RECD& mft, const LOGDRIVE_INFO& vol);
// How many record numbers the fast scan walks: the count the $MFT record
// claims, cut to the end of what its Run List maps.
std::uint64_t MftRecordsToScan(const INODE_RECD& mft, const std::vector<MftRecordSpan>& spans);

// The first 16 records at the $MFT mostly carry their own number in their
// header (more than 6 of them), so records found anywhere can be numbered by it.
bool RecordsCarryNumbers(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol);

// What both scans share around their search.
namespace ntfs_scan {

// Releases both pending lists and zeroes the volume's counters.
void ClearPending(AppContext& ctx, LOGDRIVE_INFO& vol);
// Status line, scan_running, Root, the progress record (total), the named
// counters at "0", the progress bar (0 .. bar_high, red), the lists disabled.
void Start(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol, PROGRESS_INFO& progress, std::uint64_t total,
           std::uint64_t bar_high, std::initializer_list<int> counters);
// A decoded record (owned, may be null) found at lba: kept on a pending list
// and counted, or released when it has no name or stands for the root.
void KeepRecord(AppContext& ctx, LOGDRIVE_INFO& vol, INODE_RECD* r, std::uint64_t lba);
// KeepRecord in two steps, for a scan that holds records back to keep them
// in the order found: made ready (a file's record already turned into its
// much smaller file inode, the record released), then listed and counted.
struct ReadyRecord {
  INODE_RECD* dir = nullptr;   // owned until listed
  FILE_INODE* file = nullptr;  // from the context's file blocks
};
ReadyRecord PrepareRecord(AppContext& ctx, INODE_RECD* r, std::uint64_t lba);
void ListRecord(AppContext& ctx, LOGDRIVE_INFO& vol, ReadyRecord r);
// Counters, progress bar and progress record at `current`.
void ShowProgress(AppContext& ctx, const LOGDRIVE_INFO& vol, PROGRESS_INFO& progress, std::uint64_t current);
// The final counters, linking, the file list, and everything back to idle.
void Finish(AppContext& ctx, LOGDRIVE_INFO& vol, PROGRESS_INFO& progress);
// Finish's last step alone: the progress record ended, "Idle...", the lists enabled.
void BackToIdle(AppContext& ctx, PROGRESS_INFO& progress);

}  // namespace ntfs_scan
