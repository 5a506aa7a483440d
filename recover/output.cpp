#include "recover/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/text.h"

OutputDir OutputDir::Open(const std::string& path, bool create) {
  if (create) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
  }
  return OutputDir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

OutputDir::~OutputDir() {
  if (fd_ >= 0) ::close(fd_);
}

OutputDir& OutputDir::operator=(OutputDir&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

namespace {

// The longest prefix of a UTF-8 string that fits `room` bytes without
// cutting a character.
std::string CutUtf8(std::string s, std::size_t room) {
  if (s.size() <= room) return s;
  std::size_t end = room;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  s.resize(end);
  return s;
}

std::string Suffixed(std::string_view latin1, std::uint64_t n) {
  const std::string suffix = "." + std::to_string(n);
  return SafeOutputName(latin1, kMaxOutputName - suffix.size()) + suffix;
}

// Tries the plain name, then the suffixed ones, until `make` succeeds or
// fails for a reason other than the name being taken.
template <class Make>
bool CreateFirstFree(std::string_view latin1, std::uint64_t first_suffix, std::string& used, Make&& make) {
  used = SafeOutputName(latin1);
  if (make(used)) return true;
  if (errno != EEXIST) return false;
  for (std::uint64_t i = 0; i < kMaxSuffixTries; ++i) {
    used = Suffixed(latin1, first_suffix + i);
    if (make(used)) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

std::string SafeOutputName(std::string_view latin1, std::size_t room) {
  std::string name(latin1);
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return CutUtf8(Latin1ToUtf8(name), room);
}

int CreateOutputFile(const OutputDir& dir, std::string_view latin1_name, std::uint64_t first_suffix,
                     std::string& used_name) {
  if (!dir.ok()) return -1;
  int fd = -1;
  const bool made = CreateFirstFree(latin1_name, first_suffix, used_name, [&](const std::string& n) {
    fd = ::openat(dir.fd(), n.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    return fd >= 0;
  });
  return made ? fd : -1;
}

OutputDir CreateOutputFolder(const OutputDir& dir, std::string_view latin1_name, std::uint64_t first_suffix,
                             std::string& used_name) {
  if (!dir.ok()) return OutputDir();
  const bool made = CreateFirstFree(latin1_name, first_suffix, used_name,
                                    [&](const std::string& n) { return ::mkdirat(dir.fd(), n.c_str(), 0755) == 0; });
  if (!made) return OutputDir();
  return OutputDir(::openat(dir.fd(), used_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}
