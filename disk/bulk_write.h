// A write handle held for one long write (a clone or a wipe): opened once,
// flushed and closed at the end, so a 1 MiB transfer costs one pwrite and not
// an open, a write, a flush and a close as the single-sector path does.
#pragma once
#include <cstdint>
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
  // reported an error (buffered writes fail only here).
  bool Finish();
  // The system's text for the last failure.
  const std::string& error() const { return error_; }

 private:
  void Fail(int err);
  static constexpr std::uint64_t kWriteBackChunk = 8u << 20;
  int fd_ = -1;
  std::uint64_t flushed_to_ = 0;  // write-back started up to here
  std::uint64_t size_bytes_ = 0;
  std::string error_;
};
