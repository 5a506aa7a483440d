// Physical drives: the stored record image, opening with geometry and
// identity, sector reads and writes, the error boxes.
#include "disk/phydrive.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "app/context.h"
#include "app/status.h"
#include "platform/frontend.h"
#include "platform/lba.h"
#include "res/ids.h"
#include "res/resources.h"

namespace {

constexpr const char* kErrorTitle = "** Error **";

// Field offsets of the 247-byte stored image.
constexpr std::size_t kOffName = 0, kOffModel = 100, kOffSerial = 141, kOffFirmware = 162;
constexpr std::size_t kOffDriveNumber = 171, kOffSpare = 175, kOffSizeMb = 179, kOffReadErrors = 187;
constexpr std::size_t kOffHeads = 203, kOffSpt = 211, kOffCylinders = 219, kOffSpc = 227, kOffTotal = 235;
constexpr std::size_t kOffHandle = 243;
static_assert(kOffHandle + 4 == kPhyDriveInfoSize);

template <std::size_t N>
void PutLE(std::span<std::uint8_t> out, std::size_t off, std::uint64_t v) {
  std::span<std::uint8_t, N> f = out.subspan(off).first<N>();
  for (std::size_t i = 0; i < N; ++i) f[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <std::size_t N>
std::uint64_t GetLE(std::span<const std::uint8_t> in, std::size_t off) {
  std::span<const std::uint8_t, N> f = in.subspan(off).first<N>();
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < N; ++i) v |= static_cast<std::uint64_t>(f[i]) << (8 * i);
  return v;
}

template <std::size_t N>
void PutChars(std::span<std::uint8_t> out, std::size_t off, const char (&field)[N]) {
  std::memcpy(out.subspan(off, N).data(), field, N);
}

// A stored string may lack its terminator; the last byte is forced to NUL.
template <std::size_t N>
void GetChars(std::span<const std::uint8_t> in, std::size_t off, char (&field)[N]) {
  std::memcpy(field, in.subspan(off, N).data(), N);
  field[N - 1] = '\0';
}

// Copies text into a fixed field, cut to the field, rest zero.
template <std::size_t N>
void SetField(char (&field)[N], std::string_view text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

// ATA strings hold the first character of each pair in the high byte; the
// field is the string's length plus its terminator.
template <std::size_t N>
void SwappedAtaString(std::span<const std::uint8_t> block, std::size_t first, char (&field)[N]) {
  static_assert((N - 1) % 2 == 0);
  std::span<const std::uint8_t, N - 1> src = block.subspan(first).first<N - 1>();
  for (std::size_t i = 0; i < N - 1; i += 2) {
    field[i] = static_cast<char>(src[i + 1]);
    field[i + 1] = static_cast<char>(src[i]);
  }
  field[N - 1] = '\0';
}

Dialog* BoxOwner() { return App().main_dlg; }

void ErrorMessage(const char* fmt, std::uint64_t value) {
  char text[128];
  std::snprintf(text, sizeof text, fmt, value);
  fe_MessageBox(nullptr, text, kErrorTitle, MB_OK | MB_ICONSTOP);
}

}  // namespace

std::array<std::uint8_t, kPhyDriveInfoSize> PhyDriveToBytes(const PHYDRIVE_INFO& d) {
  std::array<std::uint8_t, kPhyDriveInfoSize> bytes{};
  std::span<std::uint8_t> out(bytes);
  PutChars(out, kOffName, d.name);
  PutChars(out, kOffModel, d.model);
  PutChars(out, kOffSerial, d.serial);
  PutChars(out, kOffFirmware, d.firmware);
  PutLE<4>(out, kOffDriveNumber, d.drive_number);
  PutLE<4>(out, kOffSpare, d.spare);
  PutLE<8>(out, kOffSizeMb, static_cast<std::uint64_t>(d.size_mb));
  PutLE<8>(out, kOffReadErrors, d.read_errors);
  PutLE<8>(out, kOffHeads, d.heads);
  PutLE<8>(out, kOffSpt, d.sectors_per_track);
  PutLE<8>(out, kOffCylinders, d.cylinders);
  PutLE<8>(out, kOffSpc, d.sectors_per_cylinder);
  PutLE<8>(out, kOffTotal, d.total_sectors);
  // The reserved field and the handle slot stay zero: a descriptor means
  // nothing outside this process.
  return bytes;
}

bool PhyDriveFromBytes(std::span<const std::uint8_t> in, PHYDRIVE_INFO& d) {
  if (in.size() < kPhyDriveInfoSize) return false;
  GetChars(in, kOffName, d.name);
  GetChars(in, kOffModel, d.model);
  GetChars(in, kOffSerial, d.serial);
  GetChars(in, kOffFirmware, d.firmware);
  d.drive_number = static_cast<std::uint32_t>(GetLE<4>(in, kOffDriveNumber));
  d.spare = static_cast<std::uint32_t>(GetLE<4>(in, kOffSpare));
  d.size_mb = static_cast<std::int64_t>(GetLE<8>(in, kOffSizeMb));
  d.read_errors = GetLE<8>(in, kOffReadErrors);
  d.heads = GetLE<8>(in, kOffHeads);
  d.sectors_per_track = GetLE<8>(in, kOffSpt);
  d.cylinders = GetLE<8>(in, kOffCylinders);
  d.sectors_per_cylinder = GetLE<8>(in, kOffSpc);
  d.total_sectors = GetLE<8>(in, kOffTotal);
  d.handle = kNoDevice;
  d.device_path.clear();
  return true;
}



void FreePhyDrive(PHYDRIVE_INFO* d) {
  if (d == nullptr) return;
  sys_Close(d->handle);
  delete d;
}

PHYDRIVE_INFO* OpenPhyDrive(std::uint32_t number, const std::string& device_path) {
  PHYDRIVE_INFO* d = new (std::nothrow) PHYDRIVE_INFO{};
  if (d == nullptr) {
    fe_MessageBox(nullptr, "Could not Allocate Memory for PHYDRIVE_INFO structure", kErrorTitle, MB_OK | MB_ICONSTOP);
    return nullptr;
  }
  d->drive_number = number;
  d->device_path = device_path;
  // Opened before the identity is asked for, so nothing is sent to a node
  // that is not going to be listed.
  d->handle = sys_OpenRead(d->device_path);
  if (d->handle == kNoDevice) {
    delete d;
    return nullptr;
  }
  auto geo = sys_GetGeometry(d->handle);
  if (!geo) {
    FreePhyDrive(d);
    return nullptr;
  }
  ReadDriveIdentity(*d, d->device_path);
  d->heads = geo->heads != 0 ? geo->heads : 255;
  d->sectors_per_track = geo->sectors_per_track != 0 ? geo->sectors_per_track : 63;
  d->sectors_per_cylinder = d->heads * d->sectors_per_track;
  // Every sector of the device, not just whole cylinders: the tail of a
  // modern disk holds the end of its last partition (and that volume's
  // backup boot record), which the search, clone and wipe must reach.
  d->total_sectors = geo->size_bytes / kSectorSize + (geo->size_bytes % kSectorSize != 0 ? 1 : 0);
  d->cylinders = d->total_sectors / d->sectors_per_cylinder;
  d->size_mb = static_cast<std::int64_t>(d->total_sectors / 2048);
  return d;
}

bool DecodeIdentifyBlock(std::span<const std::uint8_t> block, PHYDRIVE_INFO& d) {
  if (block.size() < 512) return false;
  SwappedAtaString(block, 54, d.model);     // words 27..46
  SwappedAtaString(block, 20, d.serial);    // words 10..19
  SwappedAtaString(block, 46, d.firmware);  // words 23..26
  return true;
}

int ReadDriveIdentity(PHYDRIVE_INFO& d, const std::string& device_path) {
  if (auto block = sys_AtaIdentify(device_path); block && DecodeIdentifyBlock(*block, d)) return 1;
  if (auto id = sys_NvmeIdentify(device_path)) {
    SetField(d.model, id->model);
    SetField(d.serial, id->serial);
    SetField(d.firmware, id->firmware);
    return 1;
  }
  SetField(d.model, "UNKNOWN");
  SetField(d.serial, "UNKNOWN");
  SetField(d.firmware, "UNKNOWN");
  return 0;
}


namespace {

int ReadSectorsThrough(AppContext& ctx, PHYDRIVE_INFO& d, DevHandle h, std::uint64_t lba, std::span<std::uint8_t> buffer) {
  // Every path that does not fill the whole buffer zeroes it itself; a
  // blanket clear first would cost the 1 MiB partition search a fifth of its speed.
  // An LBA whose byte offset does not fit 64 bits cannot be positioned to.
  const std::optional<std::uint64_t> at_byte = Lba(lba).ByteOffset(kSectorSize);
  if (!at_byte) {
    std::fill(buffer.begin(), buffer.end(), 0);
    return 0;
  }
  const std::uint64_t offset = *at_byte;
  IoResult whole = sys_ReadAt(h, offset, buffer);
  if (!whole.positioned) {
    std::fill(buffer.begin(), buffer.end(), 0);
    return 0;
  }
  if (whole.ok && whole.bytes == buffer.size()) return 1;

  // Find out which sectors are bad: each one alone, the good ones kept.
  std::fill(buffer.begin(), buffer.end(), 0);
  for (std::size_t pos = 0; pos < buffer.size(); pos += kSectorSize) {
    std::span<std::uint8_t> sector = buffer.subspan(pos, std::min(kSectorSize, buffer.size() - pos));
    const std::uint64_t at = offset + pos;
    IoResult r = at < offset ? IoResult{} : sys_ReadAt(h, at, sector);
    if (r.positioned && r.ok && r.bytes == sector.size()) continue;
    if (!r.positioned || !r.ok) {
      // A failed request may have left part of the transfer behind.
      std::fill(sector.begin(), sector.end(), 0);
    } else {
      std::fill(sector.begin() + static_cast<std::ptrdiff_t>(r.bytes), sector.end(), 0);
    }
    ++d.read_errors;
    SetStatusCount(ctx, IDC_RD_ERR, d.read_errors);
  }
  return 1;
}

}  // namespace

int ReadSectors(AppContext& ctx, PHYDRIVE_INFO& d, std::uint64_t lba, std::span<std::uint8_t> buffer) {
  return ReadSectorsThrough(ctx, d, d.handle, lba, buffer);
}

// Only a descriptor of its own is viewed: the view's read-ahead lives on it.
SectorStream::SectorStream(PHYDRIVE_INFO& d)
    : drive_(d), handle_(sys_OpenStream(d.handle)), view_(handle_ != d.handle ? handle_ : kNoDevice) {}

SectorStream::~SectorStream() { sys_CloseStream(handle_, drive_.handle); }

int SectorStream::Read(AppContext& ctx, std::uint64_t lba, std::span<std::uint8_t> buffer) {
  return ReadSectorsThrough(ctx, drive_, handle_, lba, buffer);
}

SectorStream::Chunk SectorStream::Bring(AppContext& ctx, std::uint64_t lba, std::span<std::uint8_t> buffer) {
  if (const std::optional<std::uint64_t> at = Lba(lba).ByteOffset(kSectorSize)) {
    if (const std::span<const std::uint8_t> seen = view_.Bring(*at, buffer.size()); !seen.empty()) return {seen, true};
  }
  ReadSectorsThrough(ctx, drive_, handle_, lba, buffer);
  return {buffer, false};
}

ImageFormat DriveFormat(const PHYDRIVE_INFO& d) { return sys_HandleFormat(d.handle); }

std::string WriteRefusal(const PHYDRIVE_INFO& d) {
  // The path is looked at too: a record may have no handle, and a later part
  // of a split image opened on its own is part of a set all the same.
  ImageFormat f = DriveFormat(d);
  if (f == ImageFormat::Raw && !d.device_path.empty()) f = sys_PathFormat(d.device_path);
  if (f == ImageFormat::Raw) return {};
  const std::string kind = f == ImageFormat::SplitRaw ? std::string("a part of a split raw image")
                           : f == ImageFormat::Ewf    ? std::string("an EWF image")
                                                      : std::string("a ") + ImageFormatName(f) + " image";
  return d.device_path + " is " + kind +
         ", which is only ever read: writing to it would corrupt the image. Nothing was written. "
         "To write, clone it to a raw image file or a drive first and write there.";
}

int WriteSectors(PHYDRIVE_INFO& d, std::uint64_t lba, std::span<const std::uint8_t> buffer) {
  if (const std::string why = WriteRefusal(d); !why.empty()) {
    fe_MessageBox(nullptr, why, kErrorTitle, MB_OK | MB_ICONSTOP);
    return 0;
  }
  const std::optional<std::uint64_t> offset = Lba(lba).ByteOffset(kSectorSize);
  if (!offset) {
    ErrorMessage("Error On SetFilePointer: LBA Sector (%" PRIu64 ")", lba);
    return 0;
  }
  IoResult r = sys_WriteAt(d.device_path, *offset, buffer);
  if (!r.positioned) {
    ErrorMessage("Error On SetFilePointer: LBA Sector (%" PRIu64 ")", lba);
    return 0;
  }
  if (!r.ok) {
    ErrorMessage("Error on WriteFile LBA Sector (%" PRIu64 ")", lba);
    return 0;
  }
  if (r.bytes != buffer.size()) {
    ErrorMessage("Error on Write Size LBA Sector (%" PRIu64 ")", lba);
    return 0;
  }
  return 1;
}


int ShowErrorBox(const char* fmt, ...) {
  char text[1000];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  std::string title = std::string("**** ") + kProductTitle + " ERROR ****";
  fe_MessageBox(BoxOwner(), text, title, MB_OK | MB_ICONSTOP);
  return 1;
}

void ShowLastErrorBox() {
  int err = sys_LastError();
  if (err == 0) return;
  std::string text = sys_ErrorText(err);
  if (text.empty()) return;
  fe_MessageBox(BoxOwner(), text, kErrorTitle, MB_OK | MB_ICONSTOP);
}
