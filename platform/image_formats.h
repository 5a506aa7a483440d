// Disk images in container formats, read as the plain run of sectors they
// hold: EWF (E01), VMDK, VHD, VHDX and QCOW through their Debian libraries,
// and raw images split over numbered files. The format is chosen by content;
// only the split case, which has no signature, is chosen by name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

enum class ImageFormat : std::uint8_t { Raw, SplitRaw, Ewf, Vmdk, Vhd, Vhdx, Qcow };

// A short name for the drive list ("EWF", "VMDK", ...); "" for Raw.
const char* ImageFormatName(ImageFormat f);

// The format the first and last bytes of a file say it is (head: up to the
// first 512 bytes, tail: the last 512 bytes of a file of at least that many):
// EWF "EVF\x09\x0d\x0a\xff\x00", VMDK "KDMV"/"COWD" or a text descriptor,
// VHDX "vhdxfile", QCOW "QFI\xfb", VHD "conectix" in the footer at the end (or
// in its copy at the start of a dynamic one). Raw when none matches.
ImageFormat SniffImageFormat(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail);

// The parts of a split raw image when path is its first part: a name ending
// in a dot and a number 1 written with two or more digits (disk.001), with
// part 2 beside it (disk.002). The parts follow in order as long as the next
// number, written as wide, exists. Empty when path is not such a first part.
std::vector<std::string> SplitRawParts(const std::string& path);
// Whether path is any part of a split raw image (the first one or a later
// one whose set starts with an existing first part).
bool IsSplitRawPart(const std::string& path);

// The media of an open container: its size and positioned reads.
class ImageReader {
 public:
  virtual ~ImageReader() = default;
  virtual ImageFormat format() const = 0;
  virtual std::uint64_t size() const = 0;
  // Fills buf from offset; the caller keeps the request inside size(). False
  // when the container could not deliver it (buf's contents then undefined);
  // error() says why.
  virtual bool ReadExact(std::uint64_t offset, std::span<std::uint8_t> buf) = 0;
  const std::string& error() const { return error_; }

 protected:
  std::string error_;
};

// Opens path (a regular file whose content or name said `format`) with the
// reader for that format, parent images included where the format has them.
// Null with a message for the operator when it cannot be read as one.
std::unique_ptr<ImageReader> OpenImageReader(ImageFormat format, const std::string& path, std::string& problem);
