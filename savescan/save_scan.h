// "Save Current Scan" and "Load Scan": the scan tree written to one file as
// its records' stored images, and read back and relinked by number.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/context.h"
#include "scan/records.h"

class OutputDir;
struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

inline constexpr const char* kSavedScanName = "Save Scan.qsn";
inline constexpr std::size_t kScanInfoSize = 16;
// What a real scan can produce, with room to spare; a length past these in
// a file is damage, not data.
inline constexpr std::uint32_t kMaxSavedNameLen = 4096;
inline constexpr std::uint32_t kMaxSavedResidentLen = 1u << 20;
inline constexpr std::uint32_t kMaxSavedRuns = 1u << 20;

// Where a save's bytes go: buffered, so a large scan costs few system calls.
// The first failure is kept with the part being written and what the system said.
class SaveSink {
 public:
  explicit SaveSink(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }
  bool Put(std::span<const std::uint8_t> bytes, const char* part);
  bool Flush();
  bool failed() const { return failed_; }
  // The error box text for the failure.
  std::string FailureText() const;

 private:
  static constexpr std::size_t kBufferSize = 1u << 20;
  int fd_;
  std::vector<std::uint8_t> buffer_;
  const char* part_ = "SCAN_INFO";
  bool failed_ = false;
  int error_ = 0;
};

// The bytes of a saved-scan file, read front to back; nothing is taken past the end.
class SavedReader {
 public:
  explicit SavedReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::size_t left() const { return bytes_.size() - pos_; }
  // The next n bytes, or an empty span (nothing taken) when fewer are left.
  bool Take(std::size_t n, std::span<const std::uint8_t>& out);

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// The file blocks of a directory, from files_head along next_in_dir (at most
// file_count of them); 1, or 0 once the sink failed.
int WriteFileBlocks(SaveSink& out, const INODE_RECD& dir);
// Empties dir's file list and reads `count` file blocks into it, each also
// joining the pending-file list; 1, or 0 after an error box.
int ReadFileBlocks(AppContext& ctx, SavedReader& in, INODE_RECD& dir, std::uint64_t count);

// Writes the scan tree of ctx into dir as "Save Scan.qsn": to a temporary
// file first, renamed over the old one only once every byte is written.
// 1 on success, else 0 after one error box.
int SaveScanInto(AppContext& ctx, const PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const OutputDir& dir);
// Command 40042: the selected drives, a folder chosen by the operator.
void SaveCurrentScan(AppContext& ctx);

// Selects the physical-drive row whose identity and size match `saved`,
// emptying the logical-drive list and the tree; 1 if found, 0 if not.
int FindSavedDrive(AppContext& ctx, const PHYDRIVE_INFO& saved);
// Appends vol's "(SAVED)" row to the logical-drive list and selects row 0.
int AddSavedLogicalDrive(AppContext& ctx, LOGDRIVE_INFO* vol);
// Empty when a loaded volume record fits the drive (and the boot record at
// its start, where one is readable); else why it does not.
std::string SavedVolumeMisfit(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol);

// Loads a saved scan from its bytes / its file; 1 when the tree is rebuilt
// (root files included), else 0 after one error box.
int LoadScanBytes(AppContext& ctx, std::span<const std::uint8_t> bytes);
int LoadScanFile(AppContext& ctx, const std::string& path);
// Command 40043: a file chosen by the operator.
void LoadScan(AppContext& ctx);
