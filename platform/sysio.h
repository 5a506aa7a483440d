// System services: raw devices and files by 64-bit offset, drive geometry and
// identity, local time, last-error text. Linux system calls underneath.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/image_formats.h"

// A device or file descriptor; -1 when closed.
using DevHandle = int;
inline constexpr DevHandle kNoDevice = -1;

// Opens read-only (sources are never opened for writing). Only regular files
// and block devices are opened; anything else (a FIFO, whose open would wait
// for a writer, a directory, a socket) is refused at once with EISDIR or ENOTBLK.
DevHandle sys_OpenRead(const std::string& path);
void sys_Close(DevHandle h);
// Opens an image file as a drive, by what it holds: an EWF, VMDK, VHD, VHDX
// or QCOW container through its library, the first part of a split raw image
// (disk.001 with disk.002 beside it) as its parts end to end, anything else
// as it is. A block device is always read as it is. The handle then reads
// the disk the image holds, through sys_ReadAt and sys_GetSize like any
// other. kNoDevice on failure: `problem` says why when the file is a
// container or split image that cannot be read, else see sys_LastError().
DevHandle sys_OpenImage(const std::string& path, std::string& problem);
// The format a handle reads; Raw for devices, plain files and closed handles.
ImageFormat sys_HandleFormat(DevHandle h);
// What the file at path would be opened as, for refusing writes: a later
// part of a split image counts as SplitRaw too. Raw for block devices and for
// what cannot be read.
ImageFormat sys_PathFormat(const std::string& path);
// Size in bytes: BLKGETSIZE64 for block devices, st_size for files.
std::optional<std::uint64_t> sys_GetSize(DevHandle h);
bool sys_IsBlockDevice(DevHandle h);
// Asks the system to start reading a range that will be read soon, so that
// the disk reads it while the caller works (a hint: nothing is reported;
// container images, read through their libraries, ignore it).
void sys_Prefetch(DevHandle h, std::uint64_t offset, std::uint64_t length);
// A second descriptor on the file or device behind h, for one long read front
// to back. The system keeps its read-ahead per descriptor: reads elsewhere on
// h in between (decoders following a reference) would reset it, and the long
// read would wait on the disk at every chunk. h itself when no second
// descriptor can be had (a container read through its library); give it back
// with sys_CloseStream.
DevHandle sys_OpenStream(DevHandle h);
void sys_CloseStream(DevHandle stream, DevHandle h);

// Result of one positioned transfer.
struct IoResult {
  bool positioned = false;  // false: the offset was refused (nothing transferred)
  bool ok = false;          // the request itself succeeded
  std::size_t bytes = 0;    // bytes transferred
};

// Positioning is refused for a closed handle, an offset beyond what the
// system can address, or (block devices) an offset past the end of the device.
// A short count means end of file or device; buf beyond it is left untouched.
IoResult sys_ReadAt(DevHandle h, std::uint64_t offset, std::span<std::uint8_t> buf);
// Reopens path for writing just for this transfer, so a source opened for
// reading can never be changed by anything but an explicit write.
// A container or split image (sys_PathFormat not Raw) is never written: the
// write is refused (positioned = true, ok = false, EROFS).
// The data is flushed before the result is given, so a device error is not
// reported as success. A path that cannot be opened for writing gives
// positioned = true, ok = false (the write request itself was refused).
IoResult sys_WriteAt(const std::string& path, std::uint64_t offset, std::span<const std::uint8_t> buf);

// Test seam: a hook consulted before every read reaches the device. It can
// refuse the positioning, fail the request, or cap the bytes delivered (a
// short read). The default ReadFault lets the read through. Null: no hook.
struct ReadFault {
  bool refuse_position = false;
  bool fail = false;
  std::size_t max_bytes = SIZE_MAX;
};
using ReadFaultHook = ReadFault (*)(DevHandle h, std::uint64_t offset, std::size_t length);
void sys_SetReadFaultHook(ReadFaultHook hook);
bool sys_HasReadFaultHook();

// Geometry as the device reports it; heads/sectors are 0 when unknown.
struct DiskGeometry {
  std::uint64_t size_bytes = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectors_per_track = 0;
};
std::optional<DiskGeometry> sys_GetGeometry(DevHandle h);

// The 512-byte ATA IDENTIFY DEVICE block through SG_IO ATA pass-through.
std::optional<std::vector<std::uint8_t>> sys_AtaIdentify(const std::string& path);
// NVMe identify controller: model, serial, firmware (already in reading order).
struct NvmeIdentity {
  std::string model, serial, firmware;
};
std::optional<NvmeIdentity> sys_NvmeIdentify(const std::string& path);

// Whole-disk block devices of /sys/block that can be drives, sorted by name,
// as /dev paths; loop devices only while attached with a nonzero size. The
// sysfs root can be redirected for tests.
std::vector<std::string> sys_ListDiskDevices(const std::string& sysfs_block = "/sys/block", const std::string& dev = "/dev");

// The group that may read the node at path (group-readable, not root's
// group), so an operator can be told which group to join; nullopt otherwise.
std::optional<std::string> sys_ReadingGroup(const std::string& path);

// Local calendar time as 100 ns units since 1601-01-01, without a zone shift.
std::uint64_t sys_LocalFileTime();
// Monotonic milliseconds, for pacing the pump.
std::uint64_t sys_MonotonicMs();

// errno of the last failed system call of this layer, and its text.
int sys_LastError();
void sys_SetLastError(int err);
std::string sys_ErrorText(int err);
