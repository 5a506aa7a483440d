// Physical drives and image files as drives: enumeration, identity, sector I/O.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/sweep_view.h"
#include "platform/sysio.h"

struct AppContext;

inline constexpr std::size_t kSectorSize = 512;
inline constexpr std::size_t kPhyDriveInfoSize = 247;

struct PHYDRIVE_INFO {
  char name[100] = {};
  char model[41] = {};
  char serial[21] = {};
  char firmware[9] = {};
  std::uint32_t drive_number = 0;
  std::uint32_t spare = 0;
  std::int64_t size_mb = 0;
  std::uint64_t read_errors = 0;
  std::uint64_t heads = 0;
  std::uint64_t sectors_per_track = 0;
  std::uint64_t cylinders = 0;
  std::uint64_t sectors_per_cylinder = 0;
  std::uint64_t total_sectors = 0;
  DevHandle handle = kNoDevice;
  // Not part of the stored record: where the handle came from, so that a
  // write can reopen it and the operator can see which node a row is.
  std::string device_path;
};

// The 247-byte stored image of the record (the handle slot is written as zero).
std::array<std::uint8_t, kPhyDriveInfoSize> PhyDriveToBytes(const PHYDRIVE_INFO& d);
// Reads a stored image; false when the span is too short.
bool PhyDriveFromBytes(std::span<const std::uint8_t> bytes, PHYDRIVE_INFO& d);

// Opens drive `number` at device_path with its geometry and identity; null
// when it is not a readable drive.
PHYDRIVE_INFO* OpenPhyDrive(std::uint32_t number, const std::string& device_path);
// Closes the drive's handle and frees its record.
void FreePhyDrive(PHYDRIVE_INFO* d);
int ReadDriveIdentity(PHYDRIVE_INFO& d, const std::string& device_path);
// Decodes model, serial and firmware from an IDENTIFY DEVICE block (word-swapped ATA strings).
bool DecodeIdentifyBlock(std::span<const std::uint8_t> block, PHYDRIVE_INFO& d);
int ReadSectors(AppContext& ctx, PHYDRIVE_INFO& d, std::uint64_t lba, std::span<std::uint8_t> buffer);
// A drive read front to back in large chunks (a slow scan's sweep), through a
// descriptor of its own (sys_OpenStream): the decoders' reads elsewhere on the
// drive between two chunks leave the sweep's read-ahead alone, so the disk
// reads the next chunks while this one is decoded. Reads as ReadSectors does,
// read errors counted on the drive.
class SectorStream {
 public:
  explicit SectorStream(PHYDRIVE_INFO& d);
  ~SectorStream();
  SectorStream(const SectorStream&) = delete;
  SectorStream& operator=(const SectorStream&) = delete;
  int Read(AppContext& ctx, std::uint64_t lba, std::span<std::uint8_t> buffer);

  // The sectors at lba, as many as `buffer` holds: looked at in place where
  // the drive can be (a plain image or a device, see SweepView), else read
  // into `buffer` as Read does. Viewed bytes are read only inside ReadViewed;
  // when that fails, Read the chunk.
  struct Chunk {
    std::span<const std::uint8_t> bytes;
    bool viewed = false;
  };
  Chunk Bring(AppContext& ctx, std::uint64_t lba, std::span<std::uint8_t> buffer);

 private:
  PHYDRIVE_INFO& drive_;
  DevHandle handle_;
  SweepView view_;
};
int WriteSectors(PHYDRIVE_INFO& d, std::uint64_t lba, std::span<const std::uint8_t> buffer);
int ShowErrorBox(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void ShowLastErrorBox();

// Opens an image file (or block device) as a drive record, not yet listed;
// null with the reason when it cannot be read as one. A container or split
// image (by content, see sys_OpenImage) reads as the disk it holds; when one
// cannot be read, image_problem (if given) also gets the reason, which is
// then worth showing the operator.
PHYDRIVE_INFO* OpenImageDrive(const std::string& path, std::string& reason, std::string* image_problem = nullptr);
// Fills a record for an image file of the given size (no row, no handle).
// The model is the path, cut to the field; a container's format goes in
// front of it ("EWF: /cases/disk.E01") and in the firmware field.
void FillImageDriveInfo(PHYDRIVE_INFO& d, const std::string& path, std::uint64_t size_bytes,
                        ImageFormat format = ImageFormat::Raw);
// The format the drive's handle reads (Raw for devices and plain images).
ImageFormat DriveFormat(const PHYDRIVE_INFO& d);
// Empty when the drive may be written; else why not: a container or split
// image is only ever read (its sectors are not where its file's bytes are).
std::string WriteRefusal(const PHYDRIVE_INFO& d);
