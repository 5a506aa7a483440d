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
  bool Put(std::span<const std::uint8_t> bytes, const char* part) {
    if (failed_ || buffer_.size() + bytes.size() > kBufferSize) return PutPastBuffer(bytes, part);
    part_ = part;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return true;
  }
  // Bytes put so far, written out or not.
  std::uint64_t Offset() const { return flushed_ + buffer_.size(); }
  // Overwrites bytes put earlier, from offset `at` on: a count known only
  // after what it counts.
  bool Patch(std::uint64_t at, std::span<const std::uint8_t> bytes, const char* part);
  bool Flush();
  bool failed() const { return failed_; }
  // The error box text for the failure.
  std::string FailureText() const;

 private:
  static constexpr std::size_t kBufferSize = 1u << 20;
  bool PutPastBuffer(std::span<const std::uint8_t> bytes, const char* part);
  bool Fail();
  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t flushed_ = 0;
  const char* part_ = "SCAN_INFO";
  bool failed_ = false;
  int error_ = 0;
};

// The bytes of a saved-scan file, read front to back; nothing is taken past
// the end. Either all in memory, or read from an open file as they are taken,
// through a buffer of its own (no copy of the whole file).
class SavedReader {
 public:
  explicit SavedReader(std::span<const std::uint8_t> bytes) : bytes_(bytes), total_(bytes.size()) {}
  // The file fd (not closed here) holding `size` bytes from its current offset.
  SavedReader(int fd, std::uint64_t size) : total_(size), fd_(fd) {}
  std::uint64_t left() const { return total_ - taken_; }
  // The next n bytes, or an empty span (nothing taken) when fewer are left.
  // The span is valid until the next call.
  bool Take(std::size_t n, std::span<const std::uint8_t>& out) {
    if (bytes_.size() - pos_ < n) return TakeFilled(n, out);
    out = bytes_.subspan(pos_, n);
    pos_ += n;
    taken_ += n;
    return true;
  }
  // errno of a read of the file that failed, else 0.
  int error() const { return error_; }

 private:
  bool TakeFilled(std::size_t n, std::span<const std::uint8_t>& out);
  bool Fill(std::size_t n);
  std::span<const std::uint8_t> bytes_;  // in hand: the whole input, or the buffer's filled part
  std::size_t pos_ = 0;                  // the next byte in bytes_
  std::uint64_t total_ = 0;
  std::uint64_t taken_ = 0;
  int fd_ = -1;
  std::vector<std::uint8_t> buffer_;
  int error_ = 0;
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
