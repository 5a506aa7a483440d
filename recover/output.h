// Where copied-out files and folders are written: always relative to an open
// handle on the destination folder, never replacing or following anything
// that is already there.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// An open handle on a folder (O_DIRECTORY); closes it when it goes.
class OutputDir {
 public:
  OutputDir() = default;
  explicit OutputDir(int fd) : fd_(fd) {}
  // Opens an existing folder (or creates it, with its missing parents, when create is set).
  static OutputDir Open(const std::string& path, bool create);
  ~OutputDir();
  OutputDir(OutputDir&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  OutputDir& operator=(OutputDir&& other) noexcept;
  OutputDir(const OutputDir&) = delete;
  OutputDir& operator=(const OutputDir&) = delete;
  int fd() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Longest name, in bytes, that the destination takes (suffix included).
inline constexpr std::size_t kMaxOutputName = 255;
// How many suffixed names are tried before a creation gives up.
inline constexpr std::uint64_t kMaxSuffixTries = 10000;

// The on-disk name for a name read from a volume (one byte a character,
// Latin-1): UTF-8 of its bytes with "/" and NUL as "_"; "", "." and ".."
// become "_", "_." and "_.."; cut at a character boundary to fit `room` bytes.
std::string SafeOutputName(std::string_view latin1, std::size_t room = kMaxOutputName);

// Creates a new file for `latin1_name` in dir: the name itself, else
// "name.N" for N = first_suffix, first_suffix + 1, ... while a name is
// taken. Exclusive, no-follow creation: an existing file or link is never
// opened. Returns the open descriptor (write-only) and the name used, or -1.
int CreateOutputFile(const OutputDir& dir, std::string_view latin1_name, std::uint64_t first_suffix,
                     std::string& used_name);
// The same for a folder ("name", then "name.N" from first_suffix); returns
// the new folder opened, or a handle that is not ok().
OutputDir CreateOutputFolder(const OutputDir& dir, std::string_view latin1_name, std::uint64_t first_suffix,
                             std::string& used_name);
// Writes every byte (retrying short writes); false on any failure (disk full).
bool WriteAll(int fd, std::span<const std::uint8_t> bytes);
