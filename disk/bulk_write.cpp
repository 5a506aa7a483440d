#include "disk/bulk_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

bool DriveWriter::Retire(std::uint64_t keep) {
  while (in_flight_bytes_ > keep && !in_flight_.empty()) {
    const Range r = in_flight_.front();
    in_flight_.pop_front();
    in_flight_bytes_ -= r.length;
    // Waits for the range's write-back (a device error shows here, and again
    // at the final flush). Not a flush: the device's cache and the file's
    // metadata are left to fdatasync.
    if (::sync_file_range(fd_, static_cast<off_t>(r.offset), static_cast<off_t>(r.length),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
      if (errno == EIO || errno == ENOSPC) {
        Fail(errno);
        return false;
      }
      write_behind_ = false;
      in_flight_.clear();
      in_flight_bytes_ = 0;
      return true;
    }
    // Written data is of no more use in memory: dropping it keeps a long
    // write from pushing out pages that are still wanted (the source's among
    // them), and a read-back then reads the device, not the cache.
    ::posix_fadvise(fd_, static_cast<off_t>(r.offset), static_cast<off_t>(r.length), POSIX_FADV_DONTNEED);
  }
  return true;
}

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
  if (!write_behind_ || data.empty()) return true;
  // Start this transfer's write-back now, without waiting for it.
  if (::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(data.size()), SYNC_FILE_RANGE_WRITE) !=
      0) {
    write_behind_ = false;  // e.g. a file system without it: the final flush does all
    return true;
  }
  in_flight_.push_back({offset, data.size()});
  in_flight_bytes_ += data.size();
  return Retire(kWriteBehindBytes);
}

bool DriveWriter::Finish() {
  if (fd_ < 0) return false;
  bool ok = Retire(0);
  if (::fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS && ok) {
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
