#include "disk/bulk_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

#include "disk/phydrive.h"

DriveWriter::DriveWriter(const PHYDRIVE_INFO& d) : size_bytes_(d.total_sectors * kSectorSize) {
  if (std::string why = WriteRefusal(d); !why.empty()) {
    error_ = std::move(why);
    return;
  }
  // No O_CREAT: only an existing device or image can be written.
  fd_ = ::open(d.device_path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0) Fail(errno);
  if (d.total_sectors > UINT64_MAX / kSectorSize) size_bytes_ = UINT64_MAX;
}

DriveWriter::~DriveWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void DriveWriter::Fail(int err) { error_ = std::strerror(err); }

bool DriveWriter::Write(std::uint64_t lba, std::span<const std::uint8_t> data) {
  if (fd_ < 0) return false;
  if (lba > size_bytes_ / kSectorSize || data.size() > size_bytes_ - lba * kSectorSize) {
    Fail(ENOSPC);
    return false;
  }
  const std::uint64_t offset = lba * kSectorSize;
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return false;
    }
    if (n == 0) {
      Fail(ENOSPC);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  // Start the write-back of what has piled up, without waiting for it, so
  // that the flush at the end finds little left to do and the device works
  // while the next data is read or made.
  if (offset + data.size() >= flushed_to_ + kWriteBackChunk) {
    const std::uint64_t from = std::min(flushed_to_, offset);
    ::sync_file_range(fd_, static_cast<off_t>(from), static_cast<off_t>(offset + data.size() - from),
                      SYNC_FILE_RANGE_WRITE);
    flushed_to_ = offset + data.size();
  }
  return true;
}

bool DriveWriter::Finish() {
  if (fd_ < 0) return false;
  bool ok = true;
  if (::fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    Fail(errno);
    ok = false;
  }
  if (::close(fd_) != 0 && ok) {
    Fail(errno);
    ok = false;
  }
  fd_ = -1;
  return ok;
}
