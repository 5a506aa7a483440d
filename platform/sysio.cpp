// Linux system services for the engine: descriptors, positioned I/O, drive
// geometry and identity, the list of disk devices, clocks and error text.
#include "platform/sysio.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <limits>
#include <map>
#include <memory>
#include <system_error>

namespace {

thread_local int g_last_error = 0;
ReadFaultHook g_read_fault_hook = nullptr;

void SaveErrno() { g_last_error = errno; }

// The container readers behind handles that read a disk image's contents;
// the handle itself is the image file's own read-only descriptor.
std::map<DevHandle, std::unique_ptr<ImageReader>>& Readers() {
  static std::map<DevHandle, std::unique_ptr<ImageReader>> readers;
  return readers;
}

ImageReader* ReaderOf(DevHandle h) {
  if (h < 0) return nullptr;
  auto& readers = Readers();
  auto it = readers.find(h);
  return it == readers.end() ? nullptr : it->second.get();
}

// The format the content of an open regular file of `size` bytes names.
ImageFormat SniffOpenFile(int fd, std::uint64_t size) {
  std::array<std::uint8_t, 512> head{}, tail{};
  const ssize_t nh = ::pread(fd, head.data(), head.size(), 0);
  std::span<const std::uint8_t> tail_bytes;
  if (size >= tail.size() && size - tail.size() <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) &&
      ::pread(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())) == static_cast<ssize_t>(tail.size()))
    tail_bytes = tail;
  return SniffImageFormat(std::span<const std::uint8_t>(head).first(nh > 0 ? static_cast<std::size_t>(nh) : 0), tail_bytes);
}

// The largest offset the kernel can position to (off_t is 64-bit signed).
constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// Asks the kernel whether the descriptor can be positioned at offset: block
// devices refuse offsets past their end, which is what makes a read beyond
// the end of a drive a refused positioning rather than a failed read.
bool CanPosition(int fd, std::uint64_t offset) {
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  if (offset > kMaxOffset) {
    errno = EINVAL;
    return false;
  }
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

// One request as the engine sees it: keeps reading until the count is met,
// the end is reached or an error stops it (pread may legitimately stop early).
IoResult ReadFully(int fd, std::uint64_t offset, std::uint8_t* data, std::size_t length) {
  IoResult r;
  r.positioned = true;
  while (r.bytes < length) {
    std::uint64_t at = offset + r.bytes;
    if (at > kMaxOffset) break;  // nothing more can be addressed: a short read
    ssize_t n = ::pread(fd, data + r.bytes, length - r.bytes, static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      SaveErrno();
      return r;  // ok stays false
    }
    if (n == 0) break;
    r.bytes += static_cast<std::size_t>(n);
  }
  r.ok = true;
  return r;
}

int OpenForIoctl(const std::string& path) {
  // O_NONBLOCK lets removable drives without a medium open for the query.
  return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

bool SendAtaIdentify(int fd, bool use16, std::uint8_t* block) {
  std::uint8_t cdb[16] = {};
  std::uint8_t sense[32] = {};
  int cdb_len;
  // Protocol 4 = PIO data-in; byte 2: T_DIR from device, BYT_BLOK, length in the sector count.
  if (use16) {
    cdb_len = 16;
    cdb[0] = 0x85;
    cdb[1] = 4 << 1;
    cdb[2] = 0x0E;
    cdb[6] = 1;      // sector count
    cdb[13] = 0xA0;  // device
    cdb[14] = 0xEC;  // IDENTIFY DEVICE
  } else {
    cdb_len = 12;
    cdb[0] = 0xA1;
    cdb[1] = 4 << 1;
    cdb[2] = 0x0E;
    cdb[4] = 1;
    cdb[8] = 0xA0;
    cdb[9] = 0xEC;
  }
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.cmd_len = static_cast<unsigned char>(cdb_len);
  io.cmdp = cdb;
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.dxfer_len = 512;
  io.dxferp = block;
  io.mx_sb_len = sizeof sense;
  io.sbp = sense;
  io.timeout = 5000;
  if (::ioctl(fd, SG_IO, &io) < 0) {
    SaveErrno();
    return false;
  }
  // Some translation layers answer a good command with CHECK CONDITION and
  // "ATA pass-through information available" (recovered error, 00/1D).
  bool recovered = false;
  if (io.status == 0x02 && io.sb_len_wr >= 4) {
    bool descriptor = (sense[0] & 0x7F) >= 0x72;
    unsigned key = descriptor ? sense[1] & 0x0F : sense[2] & 0x0F;
    unsigned asc = descriptor ? sense[2] : (io.sb_len_wr >= 14 ? sense[12] : 0xFF);
    unsigned ascq = descriptor ? sense[3] : (io.sb_len_wr >= 14 ? sense[13] : 0xFF);
    recovered = key == 0x01 && asc == 0x00 && ascq == 0x1D;
  }
  // driver_status 0x08 only says that sense data came back.
  if ((io.status != 0 && !recovered) || io.host_status != 0 || (io.driver_status & 0x07) != 0 || io.resid > 0) {
    g_last_error = EIO;
    return false;
  }
  return true;
}

// A block that a bridge made up or mangled is not an identity: all zeros, or
// a present checksum (signature 0xA5 in word 255) that does not add up.
bool PlausibleIdentify(const std::uint8_t* block) {
  if (std::all_of(block, block + 512, [](std::uint8_t b) { return b == 0; })) return false;
  if (block[510] == 0xA5) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 512; ++i) sum = static_cast<std::uint8_t>(sum + block[i]);
    if (sum != 0) return false;
  }
  return true;
}

// ---- Disk device names ----------------------------------------------------------

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}
bool AllLetters(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// "nvme<digits>n<digits>": a namespace; controller nodes and multipath paths
// (nvme0c1n1) are not drives.
bool IsNvmeNamespace(std::string_view s) {
  s.remove_prefix(4);
  std::size_t n = s.find('n');
  return n != std::string_view::npos && AllDigits(s.substr(0, n)) && AllDigits(s.substr(n + 1));
}

// Kernel names of whole disks that can be drives. RAM disks, zram, device
// mapper, md and optical drives are left out: they are views or media that a
// recovery does not start from.
bool IsDriveName(std::string_view s) {
  auto letters_after = [&](std::string_view prefix) { return s.starts_with(prefix) && AllLetters(s.substr(prefix.size())); };
  if (letters_after("sd") || letters_after("vd") || letters_after("hd") || letters_after("xvd")) return true;
  if (s.starts_with("nvme")) return IsNvmeNamespace(s);
  // mmcblk0boot0/rpmb are hardware partitions of the card, not separate drives.
  if (s.starts_with("mmcblk")) return AllDigits(s.substr(6));
  if (s.starts_with("loop")) return AllDigits(s.substr(4));
  return false;
}

std::string_view DriveFamily(std::string_view s) {
  for (std::string_view f : {"xvd", "sd", "vd", "hd", "nvme", "mmcblk", "loop"})
    if (s.starts_with(f)) return f;
  return {};
}

// Natural order within a family: digit runs compare by value and letter runs
// shorter-first, so sdz comes before sdaa and loop2 before loop10, as the
// kernel hands the names out.
bool DiskNameLess(const std::string& a, const std::string& b) {
  std::string_view fa = DriveFamily(a), fb = DriveFamily(b);
  if (fa != fb) return fa < fb;
  std::string_view ra = std::string_view(a).substr(fa.size()), rb = std::string_view(b).substr(fb.size());
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  auto take_run = [&](std::string_view& s) {
    std::size_t n = 1;
    while (n < s.size() && is_digit(s[n]) == is_digit(s[0])) ++n;
    std::string_view run = s.substr(0, n);
    s.remove_prefix(n);
    return run;
  };
  while (!ra.empty() && !rb.empty()) {
    bool da = is_digit(ra[0]), db = is_digit(rb[0]);
    if (da != db) return da;
    std::string_view ta = take_run(ra), tb = take_run(rb);
    if (da) {
      while (ta.size() > 1 && ta[0] == '0') ta.remove_prefix(1);
      while (tb.size() > 1 && tb[0] == '0') tb.remove_prefix(1);
    }
    if (ta.size() != tb.size()) return ta.size() < tb.size();
    if (ta != tb) return ta < tb;
  }
  return ra.size() < rb.size();
}

// days_from_civil: days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// strerror_r comes in a GNU and an XSI flavour; take the text from either.
[[maybe_unused]] const char* ErrText(char* r, char*) { return r; }
[[maybe_unused]] const char* ErrText(int r, char* buf) { return r == 0 ? buf : nullptr; }

}  // namespace

DevHandle sys_OpenRead(const std::string& path) {
  // Opened without blocking and only then looked at: a blocking open of a
  // FIFO waits for a writer that may never come.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SaveErrno();
    return kNoDevice;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    SaveErrno();
    ::close(fd);
    return kNoDevice;
  }
  if (S_ISREG(st.st_mode)) {
    // Reads of a regular file wait for the data either way; clear the flag
    // so that nothing else sees it.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
  }
  if (!S_ISBLK(st.st_mode)) {
    // Directories, pipes, sockets and character devices have no sectors.
    g_last_error = S_ISDIR(st.st_mode) ? EISDIR : ENOTBLK;
    ::close(fd);
    return kNoDevice;
  }
  // A block device is opened again in the ordinary way, through the open
  // descriptor (the same node, whatever the path names by now): a removable
  // drive without a medium is refused, as a plain open would refuse it.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  int again = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
  if (again < 0) SaveErrno();
  ::close(fd);
  return again < 0 ? kNoDevice : again;
}

void sys_Close(DevHandle h) {
  if (h < 0) return;
  // The library lets go of the container before its descriptor is reused.
  Readers().erase(h);
  ::close(h);
}

DevHandle sys_OpenImage(const std::string& path, std::string& problem) {
  problem.clear();
  const DevHandle h = sys_OpenRead(path);
  if (h == kNoDevice) return kNoDevice;
  struct stat st{};
  if (::fstat(h, &st) != 0) {
    SaveErrno();
    ::close(h);
    return kNoDevice;
  }
  // A drive is its sectors, whatever they hold.
  if (!S_ISREG(st.st_mode)) return h;
  ImageFormat format = SniffOpenFile(h, static_cast<std::uint64_t>(st.st_size));
  if (format == ImageFormat::Raw && !SplitRawParts(path).empty()) format = ImageFormat::SplitRaw;
  if (format == ImageFormat::Raw) return h;
  std::unique_ptr<ImageReader> reader = OpenImageReader(format, path, problem);
  if (!reader) {
    g_last_error = EINVAL;
    ::close(h);
    return kNoDevice;
  }
  Readers()[h] = std::move(reader);
  return h;
}

ImageFormat sys_HandleFormat(DevHandle h) {
  const ImageReader* r = ReaderOf(h);
  return r ? r->format() : ImageFormat::Raw;
}

ImageFormat sys_PathFormat(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return IsSplitRawPart(path) ? ImageFormat::SplitRaw : ImageFormat::Raw;
  struct stat st{};
  ImageFormat format = ImageFormat::Raw;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    format = SniffOpenFile(fd, static_cast<std::uint64_t>(st.st_size));
    if (format == ImageFormat::Raw && IsSplitRawPart(path)) format = ImageFormat::SplitRaw;
  }
  ::close(fd);
  return format;
}

void sys_Prefetch(DevHandle h, std::uint64_t offset, std::uint64_t length) {
  if (ReaderOf(h) != nullptr) return;  // its offsets are not the file's
  if (h < 0 || offset > kMaxOffset || length > kMaxOffset - offset) return;
  ::posix_fadvise(h, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

DevHandle sys_OpenStream(DevHandle h) {
  if (h < 0 || ReaderOf(h) != nullptr) return h;
  // Opening the descriptor's /proc entry makes a new open file, with its own
  // read-ahead state, on the very file h reads, whatever became of its path.
  const std::string self = "/proc/self/fd/" + std::to_string(h);
  const int fd = ::open(self.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return h;
  struct stat a{}, b{};
  if (::fstat(h, &a) != 0 || ::fstat(fd, &b) != 0 || a.st_dev != b.st_dev || a.st_ino != b.st_ino ||
      a.st_rdev != b.st_rdev) {
    ::close(fd);
    return h;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

void sys_CloseStream(DevHandle stream, DevHandle h) {
  if (stream >= 0 && stream != h) ::close(stream);
}

std::optional<std::uint64_t> sys_GetSize(DevHandle h) {
  if (const ImageReader* r = ReaderOf(h)) return r->size();
  struct stat st{};
  if (h < 0 || ::fstat(h, &st) != 0) {
    if (h < 0) errno = EBADF;
    SaveErrno();
    return std::nullopt;
  }
  if (S_ISBLK(st.st_mode)) {
    std::uint64_t size = 0;
    if (::ioctl(h, BLKGETSIZE64, &size) != 0) {
      SaveErrno();
      return std::nullopt;
    }
    return size;
  }
  if (S_ISREG(st.st_mode)) return static_cast<std::uint64_t>(st.st_size);
  // Directories, pipes and the like have no sectors to read.
  g_last_error = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
  return std::nullopt;
}

bool sys_IsBlockDevice(DevHandle h) {
  struct stat st{};
  return h >= 0 && ReaderOf(h) == nullptr && ::fstat(h, &st) == 0 && S_ISBLK(st.st_mode);
}

void sys_SetReadFaultHook(ReadFaultHook hook) { g_read_fault_hook = hook; }

bool sys_HasReadFaultHook() { return g_read_fault_hook != nullptr; }

IoResult sys_ReadAt(DevHandle h, std::uint64_t offset, std::span<std::uint8_t> buf) {
  std::size_t length = buf.size();
  if (g_read_fault_hook) {
    ReadFault f = g_read_fault_hook(h, offset, length);
    if (f.refuse_position) {
      g_last_error = EINVAL;
      return {};
    }
    if (f.fail) {
      g_last_error = EIO;
      IoResult r;
      r.positioned = true;
      return r;
    }
    length = std::min(length, f.max_bytes);
  }
  if (ImageReader* r = ReaderOf(h)) {
    // As a plain file reads: an offset past the end positions, and reads nothing.
    if (offset > kMaxOffset) {
      g_last_error = EINVAL;
      return {};
    }
    IoResult res;
    res.positioned = true;
    if (offset < r->size()) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, r->size() - offset));
      if (!r->ReadExact(offset, buf.first(n))) {
        g_last_error = EIO;
        return res;
      }
      res.bytes = n;
    }
    res.ok = true;
    return res;
  }
  if (offset > kMaxOffset) {
    g_last_error = EINVAL;
    return {};
  }
  // Positioning is asked about only when nothing came back: a read inside
  // the drive needs no extra call, and one past a device's end still reports
  // a refused positioning rather than an empty read.
  IoResult r = ReadFully(h, offset, buf.data(), length);
  if (r.bytes == 0 && !CanPosition(h, offset)) {
    SaveErrno();
    return {};
  }
  return r;
}

IoResult sys_WriteAt(const std::string& path, std::uint64_t offset, std::span<const std::uint8_t> buf) {
  IoResult r;
  // Sectors of a container are not where its file's bytes are: writing
  // through the file would corrupt it.
  if (sys_PathFormat(path) != ImageFormat::Raw) {
    g_last_error = EROFS;
    r.positioned = true;
    return r;
  }
  // No O_CREAT: only an existing device or image can be written.
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    SaveErrno();
    r.positioned = true;
    return r;
  }
  if (!CanPosition(fd, offset)) {
    SaveErrno();
    ::close(fd);
    return r;
  }
  r.positioned = true;
  bool failed = false;
  while (r.bytes < buf.size()) {
    std::uint64_t at = offset + r.bytes;
    if (at > kMaxOffset) break;
    ssize_t n = ::pwrite(fd, buf.data() + r.bytes, buf.size() - r.bytes, static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      SaveErrno();
      failed = true;
      break;
    }
    if (n == 0) break;
    r.bytes += static_cast<std::size_t>(n);
  }
  // Device errors of buffered writes surface only when the data is flushed.
  if (!failed && ::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) {
    SaveErrno();
    failed = true;
  }
  ::close(fd);
  r.ok = !failed;
  return r;
}

std::optional<DiskGeometry> sys_GetGeometry(DevHandle h) {
  auto size = sys_GetSize(h);
  if (!size) return std::nullopt;
  DiskGeometry g;
  g.size_bytes = *size;
  if (sys_IsBlockDevice(h)) {
    hd_geometry geo{};
    if (::ioctl(h, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
      g.heads = geo.heads;
      g.sectors_per_track = geo.sectors;
    }
  }
  return g;
}

std::optional<std::vector<std::uint8_t>> sys_AtaIdentify(const std::string& path) {
  int fd = OpenForIoctl(path);
  if (fd < 0) {
    SaveErrno();
    return std::nullopt;
  }
  std::vector<std::uint8_t> block(512);
  // Some bridges know only the 12-byte form of the pass-through.
  bool ok = false;
  for (bool use16 : {true, false}) {
    std::fill(block.begin(), block.end(), 0);
    if (SendAtaIdentify(fd, use16, block.data()) && PlausibleIdentify(block.data())) {
      ok = true;
      break;
    }
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return block;
}

std::optional<NvmeIdentity> sys_NvmeIdentify(const std::string& path) {
  int fd = OpenForIoctl(path);
  if (fd < 0) {
    SaveErrno();
    return std::nullopt;
  }
  alignas(4096) static thread_local std::uint8_t data[4096];
  std::memset(data, 0, sizeof data);
  nvme_admin_cmd cmd{};
  cmd.opcode = 0x06;  // Identify
  cmd.addr = reinterpret_cast<std::uintptr_t>(data);
  cmd.data_len = sizeof data;
  cmd.cdw10 = 1;  // CNS 1: the controller
  cmd.timeout_ms = 5000;
  int rc = ::ioctl(fd, NVME_IOCTL_ADMIN_CMD, &cmd);
  if (rc != 0) {
    if (rc < 0) SaveErrno();
    else g_last_error = EIO;
    ::close(fd);
    return std::nullopt;
  }
  ::close(fd);
  auto text = [](std::size_t off, std::size_t len) { return std::string(reinterpret_cast<const char*>(data + off), len); };
  NvmeIdentity id{text(24, 40), text(4, 20), text(64, 8)};
  return id;
}

namespace {

// The device's size in 512-byte sectors from its sysfs "size" file; 0 when
// it cannot be read.
std::uint64_t SysfsSectors(const std::filesystem::path& entry) {
  std::ifstream in(entry / "size");
  std::uint64_t sectors = 0;
  if (!(in >> sectors)) return 0;
  return sectors;
}

}  // namespace

std::optional<std::string> sys_ReadingGroup(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 || (st.st_mode & S_IRGRP) == 0 || st.st_gid == 0) return std::nullopt;
  std::vector<char> buf(4096);
  group gr{};
  group* found = nullptr;
  if (::getgrgid_r(st.st_gid, &gr, buf.data(), buf.size(), &found) != 0 || found == nullptr || gr.gr_name == nullptr)
    return std::nullopt;
  return std::string(gr.gr_name);
}

std::vector<std::string> sys_ListDiskDevices(const std::string& sysfs_block, const std::string& dev) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(sysfs_block, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!IsDriveName(name)) continue;
    // A loop device is a drive only while a file is attached to it and
    // gives it sectors (an unattached one has no backing_file and size 0).
    if (name.starts_with("loop") &&
        (!fs::exists(it->path() / "loop" / "backing_file", ec) || SysfsSectors(it->path()) == 0))
      continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(), DiskNameLess);
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const auto& n : names) paths.push_back(dev + "/" + n);
  return paths;
}

std::uint64_t sys_LocalFileTime() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  time_t secs = ts.tv_sec;
  ::localtime_r(&secs, &local);
  // The local calendar fields counted as if they were UTC: no zone shift.
  constexpr std::int64_t kDays1601To1970 = 134774;
  std::int64_t days = DaysFromCivil(local.tm_year + 1900LL, static_cast<unsigned>(local.tm_mon + 1),
                                    static_cast<unsigned>(local.tm_mday)) +
                      kDays1601To1970;
  std::int64_t seconds = days * 86400 + local.tm_hour * 3600LL + local.tm_min * 60LL + local.tm_sec;
  return static_cast<std::uint64_t>(seconds) * 10000000ULL + static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

std::uint64_t sys_MonotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000ULL + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000ULL;
}

int sys_LastError() { return g_last_error; }
void sys_SetLastError(int err) { g_last_error = err; }

std::string sys_ErrorText(int err) {
  if (err == 0) return {};
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  // Codes the system has no name for get no text (strerror would invent "Unknown error N").
  if (::strerrorname_np(err) == nullptr) return {};
#endif
  char buf[256] = {};
  const char* text = ErrText(::strerror_r(err, buf, sizeof buf), buf);
  if (text == nullptr) return {};
  return text;
}
