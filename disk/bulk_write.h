// A write handle held for one long write (a clone or a wipe): opened once,
// flushed and closed at the end, so a 1 MiB transfer costs one pwrite and not
// an open, a write, a flush and a close as the single-sector path does.
#pragma once
#include <cstdint>
#include <deque>
#include <span>
#include <string>

struct PHYDRIVE_INFO;

class DriveWriter {
 public:
  // Opens the drive's device or image for writing (never creating or
  // growing it); is_open() tells whether that worked. A container or split
  // image is not opened (error() says why: see WriteRefusal).
  explicit DriveWriter(const PHYDRIVE_INFO& d);
  ~DriveWriter();
  DriveWriter(const DriveWriter&) = delete;
  DriveWriter& operator=(const DriveWriter&) = delete;

  bool is_open() const { return fd_ >= 0; }
  // Writes data at lba; refuses anything reaching past the drive's last
  // sector. False on any failure, with error() telling why.
  bool Write(std::uint64_t lba, std::span<const std::uint8_t> data);
  // Flushes the data to the device and closes; false when the device
  // reported an error (buffered writes fail only here or in Write's
  // write-behind).
  bool Finish();
  // The system's text for the last failure.
  const std::string& error() const { return error_; }

  // Write-behind: the device is handed each transfer as soon as it is
  // written, and the writer waits for the one this many bytes behind, so
  // the device never idles, dirty data stays bounded, and the flush at the
  // end has at most this much left.
  static constexpr std::uint64_t kWriteBehindBytes = 32u << 20;

 private:
  struct Range {
    std::uint64_t offset, length;
  };
  void Fail(int err);
  // Waits for the oldest started ranges until at most `keep` bytes are in flight.
  bool Retire(std::uint64_t keep);
  int fd_ = -1;
  std::uint64_t size_bytes_ = 0;
  bool write_behind_ = true;  // off where the file system has no ranged write-back
  std::deque<Range> in_flight_;
  std::uint64_t in_flight_bytes_ = 0;
  std::string error_;
};
