// Container images through libewf, libvmdk, libvhdi and libqcow, and split
// raw images through one descriptor per part.
#include "platform/image_formats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// A chain of differencing images deeper than this is taken for a loop.
constexpr int kMaxParents = 16;
// The most a library is asked for at once.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
// Sizes a library reports are capped where off_t ends.
constexpr std::uint64_t kMaxMedia = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

bool StartsWith(std::span<const std::uint8_t> b, std::string_view sig) {
  return b.size() >= sig.size() && std::memcmp(b.data(), sig.data(), sig.size()) == 0;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '.' || s.back() == ' ' || s.back() == '\r' || s.back() == '\n')) s.pop_back();
  return s;
}

// The libraries' error text from their backtrace: the last line says what
// failed, the first one why (the innermost cause).
std::string ErrorSummary(const char* backtrace) {
  const std::string text(backtrace);
  const std::string cause = Trimmed(text.substr(0, text.find('\n')));
  const std::size_t last_nl = Trimmed(text).rfind('\n');
  std::string what = last_nl == std::string::npos ? cause : Trimmed(text.substr(last_nl + 1));
  // "libxyz_file_open: unable to open file: NAME" reads without the function.
  if (const std::size_t colon = what.find(": "); colon != std::string::npos && what.starts_with("lib"))
    what = what.substr(colon + 2);
  if (what.empty()) return cause.empty() ? std::string("unknown error") : cause;
  return cause.empty() || last_nl == std::string::npos ? what : what + " (" + cause + ")";
}

#define RETROVA_ERROR_TEXT(lib)                                      \
  std::string lib##Text(lib##_error_t*& e) {                         \
    if (e == nullptr) return "unknown error";                        \
    std::array<char, 1024> buf{};                                    \
    if (lib##_error_backtrace_sprint(e, buf.data(), buf.size() - 1) < 0) buf[0] = '\0'; \
    lib##_error_free(&e);                                            \
    e = nullptr;                                                     \
    return ErrorSummary(buf.data());                                 \
  }                                                                  \
  void lib##Drop(lib##_error_t*& e) {                                \
    if (e != nullptr) lib##_error_free(&e);                          \
    e = nullptr;                                                     \
  }
RETROVA_ERROR_TEXT(libewf)
RETROVA_ERROR_TEXT(libvmdk)
RETROVA_ERROR_TEXT(libvhdi)
RETROVA_ERROR_TEXT(libqcow)
#undef RETROVA_ERROR_TEXT

bool IsRegularFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

// Where a parent image named inside a child is: as written (absolute, or
// relative to the child's folder), else by its last name beside the child.
// Windows paths are taken with their backslashes as separators.
std::string FindParent(const std::string& child, std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  const fs::path dir = fs::path(child).parent_path();
  const fs::path p(name);
  if (p.is_absolute() && IsRegularFile(p)) return p.string();
  if (!p.is_absolute() && IsRegularFile(dir / p)) return (dir / p).string();
  if (p.has_filename() && IsRegularFile(dir / p.filename())) return (dir / p.filename()).string();
  return {};
}

std::string Utf8Name(std::vector<std::uint8_t>& buf) {
  if (buf.empty()) return {};
  buf.back() = 0;
  return std::string(reinterpret_cast<const char*>(buf.data()));
}

// Reads the whole request through a library call that may return less.
template <typename ReadFn>
bool ReadLoop(std::uint64_t offset, std::span<std::uint8_t> buf, ReadFn read) {
  std::size_t done = 0;
  while (done < buf.size()) {
    const std::size_t want = std::min(buf.size() - done, kMaxChunk);
    const ssize_t n = read(buf.data() + done, want, static_cast<off64_t>(offset + done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(std::min<std::size_t>(static_cast<std::size_t>(n), want));
  }
  return true;
}

// Whether the file at path starts with sig.
bool FileStartsWith(const std::string& path, std::string_view sig) {
  // Without blocking: a FIFO put in a file's place must not hang the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<std::uint8_t, 16> head{};
  const ssize_t n = ::pread(fd, head.data(), std::min(head.size(), sig.size()), 0);
  ::close(fd);
  return n == static_cast<ssize_t>(sig.size()) && StartsWith(head, sig);
}

std::string NeedsParent(const char* fmt, const std::string& name) {
  return std::string("this ") + fmt + " image is a differencing image; its parent " + name +
         " was not found beside it";
}

// ---- EWF ---------------------------------------------------------------------------

class EwfReader final : public ImageReader {
 public:
  ~EwfReader() override {
    libewf_error_t* e = nullptr;
    if (opened_) libewf_handle_close(handle_, &e);
    libewfDrop(e);
    if (handle_) libewf_handle_free(&handle_, &e);
    libewfDrop(e);
  }
  ImageFormat format() const override { return ImageFormat::Ewf; }
  std::uint64_t size() const override { return size_; }

  static std::unique_ptr<ImageReader> Open(const std::string& path, std::string& problem) {
    auto r = std::make_unique<EwfReader>();
    libewf_error_t* e = nullptr;
    char** names = nullptr;
    int count = 0;
    // The other segments (.E02, ...) are found by the first one's name.
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &e) != 1) {
      problem = "the EWF segment files cannot be listed: " + libewfText(e);
      return nullptr;
    }
    int opened = -1;
    if (libewf_handle_initialize(&r->handle_, &e) == 1) opened = libewf_handle_open(r->handle_, names, count, LIBEWF_OPEN_READ, &e);
    std::string why = opened == 1 ? std::string() : libewfText(e);
    libewf_error_t* e2 = nullptr;
    libewf_glob_free(names, count, &e2);
    libewfDrop(e2);
    if (opened != 1) {
      problem = "the EWF image cannot be opened: " + why;
      return nullptr;
    }
    r->opened_ = true;
    size64_t size = 0;
    std::uint32_t bps = 0;
    if (libewf_handle_get_media_size(r->handle_, &size, &e) != 1 ||
        libewf_handle_get_bytes_per_sector(r->handle_, &bps, &e) != 1) {
      problem = "the EWF image's media size cannot be read: " + libewfText(e);
      return nullptr;
    }
    r->size_ = std::min<std::uint64_t>(size, kMaxMedia);
    r->bytes_per_sector_ = bps != 0 ? bps : 512;
    return r;
  }

  bool ReadExact(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    libewf_error_t* e = nullptr;
    const bool ok = ReadLoop(offset, buf, [&](std::uint8_t* p, std::size_t n, off64_t at) {
      return libewf_handle_read_random(handle_, p, n, at, &e);
    });
    if (!ok) {
      error_ = libewfText(e);
      return false;
    }
    // A chunk whose checksum fails is delivered all the same (zeroed or as
    // stored) and only recorded: every read touching one is a failed read.
    RefreshBadRanges();
    for (const auto& [from, to] : bad_)
      if (offset < to && from < offset + buf.size()) {
        error_ = "checksum error in the EWF data";
        return false;
      }
    return true;
  }

 private:
  // The library merges neighbouring ranges, so one entry can grow without
  // the count changing: the list is read afresh after every read.
  void RefreshBadRanges() {
    libewf_error_t* e = nullptr;
    std::uint32_t count = 0;
    bad_.clear();
    if (libewf_handle_get_number_of_checksum_errors(handle_, &count, &e) != 1) {
      libewfDrop(e);
      return;
    }
    const std::uint64_t max_sector = std::numeric_limits<std::uint64_t>::max() / bytes_per_sector_;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint64_t first = 0, sectors = 0;
      if (libewf_handle_get_checksum_error(handle_, i, &first, &sectors, &e) != 1) {
        libewfDrop(e);
        continue;
      }
      first = std::min(first, max_sector);
      sectors = std::min(sectors, max_sector - first);
      bad_.emplace_back(first * bytes_per_sector_, (first + sectors) * bytes_per_sector_);
    }
  }

  libewf_handle_t* handle_ = nullptr;
  bool opened_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t bytes_per_sector_ = 512;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> bad_;  // byte ranges [from, to)
};

// ---- VMDK --------------------------------------------------------------------------

// One opened library handle of each kind, closed and freed when dropped.
struct VmdkHandle {
  libvmdk_handle_t* h = nullptr;
  bool opened = false;
  std::string alias_dir;  // a private folder naming this file as its own extent
  VmdkHandle() = default;
  VmdkHandle(const VmdkHandle&) = delete;
  VmdkHandle& operator=(const VmdkHandle&) = delete;
  ~VmdkHandle() {
    libvmdk_error_t* e = nullptr;
    if (opened) libvmdk_handle_close(h, &e);
    libvmdkDrop(e);
    if (h) libvmdk_handle_free(&h, &e);
    libvmdkDrop(e);
    std::error_code ec;
    if (!alias_dir.empty()) fs::remove_all(alias_dir, ec);
  }
};

// The file names of a VMDK handle's extents, as its descriptor gives them
// (an empty name where one cannot be read).
std::vector<std::string> ExtentNames(libvmdk_handle_t* h) {
  libvmdk_error_t* e = nullptr;
  int count = 0;
  std::vector<std::string> names;
  if (libvmdk_handle_get_number_of_extents(h, &count, &e) != 1) {
    libvmdkDrop(e);
    return names;
  }
  for (int i = 0; i < count && i < 100000; ++i) {
    libvmdk_extent_descriptor_t* extent = nullptr;
    std::size_t size = 0;
    std::string& name = names.emplace_back();
    if (libvmdk_handle_get_extent_descriptor(h, i, &extent, &e) == 1 &&
        libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, &e) == 1 && size > 1 && size < 4096) {
      std::vector<std::uint8_t> buf(size);
      if (libvmdk_extent_descriptor_get_utf8_filename(extent, buf.data(), buf.size(), &e) == 1) name = Utf8Name(buf);
    }
    libvmdkDrop(e);
    if (extent) libvmdk_extent_descriptor_free(&extent, &e);
    libvmdkDrop(e);
  }
  return names;
}

// The first extent that is there but is no file or device (a FIFO would
// hang the library's open); empty when none is.
std::string OddExtent(const std::vector<std::string>& names, const std::string& extent_dir) {
  for (std::string name : names) {
    if (name.empty()) continue;
    std::replace(name.begin(), name.end(), '\\', '/');
    const fs::path p(name);
    for (const fs::path& at : {fs::path(extent_dir) / p, fs::path(extent_dir) / p.filename()}) {
      std::error_code ec;
      const fs::file_status st = fs::status(at, ec);
      if (!ec && fs::exists(st) && !fs::is_regular_file(st) && !fs::is_block_file(st)) return at.string();
    }
  }
  return {};
}

// The folder a single-file sparse VMDK's extent is looked for in. Its
// embedded descriptor names the extent by the name the file was made with:
// once the file is renamed that name is missing, or is another file. The
// file itself is that extent, so a renamed one is shown to the library under
// its old name in a private folder.
std::string SelfExtentDir(const std::string& path, const std::string& extent, std::string& alias_dir) {
  const fs::path dir = fs::path(path).parent_path();
  std::error_code ec;
  if (extent.empty() || extent.find('/') != std::string::npos || extent.find('\\') != std::string::npos ||
      extent == "." || extent == ".." || fs::equivalent(dir / extent, path, ec))
    return dir.string();
  std::string tmpl = (fs::temp_directory_path(ec) / "retrova-vmdk-XXXXXX").string();
  if (ec || ::mkdtemp(tmpl.data()) == nullptr) return dir.string();
  alias_dir = tmpl;
  fs::create_symlink(fs::absolute(path, ec), fs::path(alias_dir) / extent, ec);
  return alias_dir;
}

struct VhdiFile {
  libvhdi_file_t* f = nullptr;
  bool opened = false;
  VhdiFile() = default;
  VhdiFile(const VhdiFile&) = delete;
  VhdiFile& operator=(const VhdiFile&) = delete;
  ~VhdiFile() {
    libvhdi_error_t* e = nullptr;
    if (opened) libvhdi_file_close(f, &e);
    libvhdiDrop(e);
    if (f) libvhdi_file_free(&f, &e);
    libvhdiDrop(e);
  }
};

struct QcowFile {
  libqcow_file_t* f = nullptr;
  bool opened = false;
  QcowFile() = default;
  QcowFile(const QcowFile&) = delete;
  QcowFile& operator=(const QcowFile&) = delete;
  ~QcowFile() {
    libqcow_error_t* e = nullptr;
    if (opened) libqcow_file_close(f, &e);
    libqcowDrop(e);
    if (f) libqcow_file_free(&f, &e);
    libqcowDrop(e);
  }
};

// A child image and the parents it reads through; the child is closed first.
template <typename Handle>
class Chain {
 public:
  ~Chain() {
    for (auto& h : links_) h.reset();
  }
  Handle& Add() { return *links_.emplace_back(std::make_unique<Handle>()); }
  Handle& front() { return *links_.front(); }
  std::size_t depth() const { return links_.size(); }

 private:
  std::vector<std::unique_ptr<Handle>> links_;  // [0] the image itself, then each parent
};

class VmdkReader final : public ImageReader {
 public:
  ImageFormat format() const override { return ImageFormat::Vmdk; }
  std::uint64_t size() const override { return size_; }

  static std::unique_ptr<ImageReader> Open(const std::string& path, std::string& problem) {
    auto r = std::make_unique<VmdkReader>();
    if (!r->OpenLink(path, problem)) return nullptr;
    libvmdk_error_t* e = nullptr;
    size64_t size = 0;
    if (libvmdk_handle_get_media_size(r->chain_.front().h, &size, &e) != 1) {
      problem = "the VMDK image's media size cannot be read: " + libvmdkText(e);
      return nullptr;
    }
    r->size_ = std::min<std::uint64_t>(size, kMaxMedia);
    return r;
  }

  bool ReadExact(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    libvmdk_error_t* e = nullptr;
    libvmdk_handle_t* h = chain_.front().h;
    if (ReadLoop(offset, buf, [&](std::uint8_t* p, std::size_t n, off64_t at) {
          return libvmdk_handle_read_buffer_at_offset(h, p, n, at, &e);
        }))
      return true;
    error_ = libvmdkText(e);
    return false;
  }

 private:
  // Opens path as the next link and, for a differencing image, its parent
  // after it; the link is handed its parent once that is open.
  libvmdk_handle_t* OpenLink(const std::string& path, std::string& problem) {
    if (chain_.depth() >= kMaxParents) {
      problem = "the VMDK parent chain is longer than " + std::to_string(kMaxParents) + " images";
      return nullptr;
    }
    VmdkHandle& link = chain_.Add();
    libvmdk_error_t* e = nullptr;
    const std::string dir = fs::path(path).parent_path().string();
    if (libvmdk_handle_initialize(&link.h, &e) != 1 || libvmdk_handle_open(link.h, path.c_str(), LIBVMDK_OPEN_READ, &e) != 1) {
      problem = "the VMDK image " + path + " cannot be opened: " + libvmdkText(e);
      return nullptr;
    }
    link.opened = true;
    // Extent files named by a text descriptor lie beside it; a sparse file
    // with its descriptor inside is its own only extent.
    const bool self_extent = FileStartsWith(path, "KDMV") || FileStartsWith(path, "COWD");
    const std::vector<std::string> extents = ExtentNames(link.h);
    const std::string extent_dir =
        self_extent && extents.size() == 1 ? SelfExtentDir(path, extents[0], link.alias_dir) : dir;
    if (const std::string odd = OddExtent(extents, extent_dir.empty() ? "." : extent_dir); !odd.empty()) {
      problem = "the VMDK image " + path + " names " + odd + " as an extent, which is not a file";
      return nullptr;
    }
    if ((!extent_dir.empty() &&
         libvmdk_handle_set_extent_data_files_path(link.h, extent_dir.c_str(), extent_dir.size(), &e) != 1) ||
        libvmdk_handle_open_extent_data_files(link.h, &e) != 1) {
      problem = "the extent files of the VMDK image " + path + " cannot be opened: " + libvmdkText(e);
      return nullptr;
    }
    std::size_t name_size = 0;
    const int has_parent = libvmdk_handle_get_utf8_parent_filename_size(link.h, &name_size, &e);
    libvmdkDrop(e);
    if (has_parent == 1 && name_size > 1) {
      std::vector<std::uint8_t> name(name_size);
      if (libvmdk_handle_get_utf8_parent_filename(link.h, name.data(), name.size(), &e) != 1) {
        problem = "the VMDK image's parent name cannot be read: " + libvmdkText(e);
        return nullptr;
      }
      const std::string parent_name = Utf8Name(name);
      const std::string parent_path = FindParent(path, parent_name);
      if (parent_path.empty()) {
        problem = NeedsParent("VMDK", parent_name);
        return nullptr;
      }
      libvmdk_handle_t* parent = OpenLink(parent_path, problem);
      if (parent == nullptr) return nullptr;
      if (libvmdk_handle_set_parent_handle(link.h, parent, &e) != 1) {
        problem = "the VMDK image does not match its parent " + parent_path + ": " + libvmdkText(e);
        return nullptr;
      }
    }
    return link.h;
  }

  Chain<VmdkHandle> chain_;
  std::uint64_t size_ = 0;
};

// ---- VHD and VHDX ------------------------------------------------------------------

class VhdiReader final : public ImageReader {
 public:
  explicit VhdiReader(ImageFormat f) : format_(f) {}
  ImageFormat format() const override { return format_; }
  std::uint64_t size() const override { return size_; }

  static std::unique_ptr<ImageReader> Open(ImageFormat f, const std::string& path, std::string& problem) {
    auto r = std::make_unique<VhdiReader>(f);
    if (!r->OpenLink(path, problem)) return nullptr;
    libvhdi_error_t* e = nullptr;
    size64_t size = 0;
    if (libvhdi_file_get_media_size(r->chain_.front().f, &size, &e) != 1) {
      problem = std::string("the ") + ImageFormatName(f) + " image's media size cannot be read: " + libvhdiText(e);
      return nullptr;
    }
    r->size_ = std::min<std::uint64_t>(size, kMaxMedia);
    return r;
  }

  bool ReadExact(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    libvhdi_error_t* e = nullptr;
    libvhdi_file_t* f = chain_.front().f;
    if (ReadLoop(offset, buf, [&](std::uint8_t* p, std::size_t n, off64_t at) {
          return libvhdi_file_read_buffer_at_offset(f, p, n, at, &e);
        }))
      return true;
    error_ = libvhdiText(e);
    return false;
  }

 private:
  libvhdi_file_t* OpenLink(const std::string& path, std::string& problem) {
    const std::string fmt = ImageFormatName(format_);
    if (chain_.depth() >= kMaxParents) {
      problem = "the " + fmt + " parent chain is longer than " + std::to_string(kMaxParents) + " images";
      return nullptr;
    }
    VhdiFile& link = chain_.Add();
    libvhdi_error_t* e = nullptr;
    if (libvhdi_file_initialize(&link.f, &e) != 1 || libvhdi_file_open(link.f, path.c_str(), LIBVHDI_OPEN_READ, &e) != 1) {
      problem = "the " + fmt + " image " + path + " cannot be opened: " + libvhdiText(e);
      return nullptr;
    }
    link.opened = true;
    std::uint32_t type = 0;
    if (libvhdi_file_get_disk_type(link.f, &type, &e) != 1) {
      problem = "the " + fmt + " image's disk type cannot be read: " + libvhdiText(e);
      return nullptr;
    }
    if (type == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
      std::size_t name_size = 0;
      if (libvhdi_file_get_utf8_parent_filename_size(link.f, &name_size, &e) != 1 || name_size <= 1) {
        libvhdiDrop(e);
        problem = "this " + fmt + " image is a differencing image that does not name its parent";
        return nullptr;
      }
      std::vector<std::uint8_t> name(name_size);
      if (libvhdi_file_get_utf8_parent_filename(link.f, name.data(), name.size(), &e) != 1) {
        problem = "the " + fmt + " image's parent name cannot be read: " + libvhdiText(e);
        return nullptr;
      }
      const std::string parent_name = Utf8Name(name);
      const std::string parent_path = FindParent(path, parent_name);
      if (parent_path.empty()) {
        problem = NeedsParent(fmt.c_str(), parent_name);
        return nullptr;
      }
      libvhdi_file_t* parent = OpenLink(parent_path, problem);
      if (parent == nullptr) return nullptr;
      if (libvhdi_file_set_parent_file(link.f, parent, &e) != 1) {
        problem = "the " + fmt + " image does not match its parent " + parent_path + ": " + libvhdiText(e);
        return nullptr;
      }
    }
    return link.f;
  }

  ImageFormat format_;
  Chain<VhdiFile> chain_;
  std::uint64_t size_ = 0;
};

// ---- QCOW --------------------------------------------------------------------------

class QcowReader final : public ImageReader {
 public:
  ImageFormat format() const override { return ImageFormat::Qcow; }
  std::uint64_t size() const override { return size_; }

  static std::unique_ptr<ImageReader> Open(const std::string& path, std::string& problem) {
    auto r = std::make_unique<QcowReader>();
    if (!r->OpenLink(path, problem)) return nullptr;
    libqcow_error_t* e = nullptr;
    size64_t size = 0;
    if (libqcow_file_get_media_size(r->chain_.front().f, &size, &e) != 1) {
      problem = "the QCOW image's media size cannot be read: " + libqcowText(e);
      return nullptr;
    }
    r->size_ = std::min<std::uint64_t>(size, kMaxMedia);
    return r;
  }

  bool ReadExact(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    libqcow_error_t* e = nullptr;
    libqcow_file_t* f = chain_.front().f;
    if (ReadLoop(offset, buf, [&](std::uint8_t* p, std::size_t n, off64_t at) {
          return libqcow_file_read_buffer_at_offset(f, p, n, at, &e);
        }))
      return true;
    error_ = libqcowText(e);
    return false;
  }

 private:
  libqcow_file_t* OpenLink(const std::string& path, std::string& problem) {
    if (chain_.depth() >= kMaxParents) {
      problem = "the QCOW backing chain is longer than " + std::to_string(kMaxParents) + " images";
      return nullptr;
    }
    QcowFile& link = chain_.Add();
    libqcow_error_t* e = nullptr;
    if (libqcow_file_initialize(&link.f, &e) != 1 || libqcow_file_open(link.f, path.c_str(), LIBQCOW_OPEN_READ, &e) != 1) {
      problem = "the QCOW image " + path + " cannot be opened: " + libqcowText(e);
      return nullptr;
    }
    link.opened = true;
    std::uint32_t method = 0;
    if (libqcow_file_get_encryption_method(link.f, &method, &e) != 1 || method != LIBQCOW_ENCRYPTION_METHOD_NONE) {
      libqcowDrop(e);
      problem = "the QCOW image " + path + " is encrypted; it cannot be read without its key";
      return nullptr;
    }
    std::size_t name_size = 0;
    const int has_backing = libqcow_file_get_utf8_backing_filename_size(link.f, &name_size, &e);
    libqcowDrop(e);
    if (has_backing == 1 && name_size > 1) {
      std::vector<std::uint8_t> name(name_size);
      if (libqcow_file_get_utf8_backing_filename(link.f, name.data(), name.size(), &e) != 1) {
        problem = "the QCOW image's backing file name cannot be read: " + libqcowText(e);
        return nullptr;
      }
      const std::string parent_name = Utf8Name(name);
      const std::string parent_path = FindParent(path, parent_name);
      if (parent_path.empty()) {
        problem = "this QCOW image reads through its backing file " + parent_name + ", which was not found beside it";
        return nullptr;
      }
      // The library reads through QCOW backing files only.
      if (!FileStartsWith(parent_path, "QFI\xfb")) {
        problem = "the backing file " + parent_path + " of this QCOW image is not a QCOW image; it cannot be read through";
        return nullptr;
      }
      libqcow_file_t* parent = OpenLink(parent_path, problem);
      if (parent == nullptr) return nullptr;
      if (libqcow_file_set_parent_file(link.f, parent, &e) != 1) {
        problem = "the QCOW image does not match its backing file " + parent_path + ": " + libqcowText(e);
        return nullptr;
      }
    }
    return link.f;
  }

  Chain<QcowFile> chain_;
  std::uint64_t size_ = 0;
};

// ---- Split raw ---------------------------------------------------------------------

class SplitRawReader final : public ImageReader {
 public:
  ~SplitRawReader() override {
    for (const Part& p : parts_) ::close(p.fd);
  }
  ImageFormat format() const override { return ImageFormat::SplitRaw; }
  std::uint64_t size() const override { return size_; }

  static std::unique_ptr<ImageReader> Open(const std::string& path, std::string& problem) {
    const std::vector<std::string> names = SplitRawParts(path);
    if (names.empty()) {
      problem = path + " is not the first part of a split image";
      return nullptr;
    }
    auto r = std::make_unique<SplitRawReader>();
    for (const std::string& name : names) {
      const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st{};
      if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = "the part " + name + " of the split image cannot be opened: " +
                  (fd < 0 ? std::strerror(errno) : "not a regular file");
        if (fd >= 0) ::close(fd);
        return nullptr;
      }
      const auto part_size = static_cast<std::uint64_t>(st.st_size);
      if (part_size > kMaxMedia - r->size_) {
        ::close(fd);
        problem = "the split image is larger than can be addressed";
        return nullptr;
      }
      r->parts_.push_back(Part{fd, r->size_, part_size});
      r->size_ += part_size;
    }
    return r;
  }

  bool ReadExact(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    // The last part starting at or before offset.
    auto it = std::upper_bound(parts_.begin(), parts_.end(), offset, [](std::uint64_t o, const Part& p) { return o < p.start; });
    if (it == parts_.begin()) return Fail(EINVAL);
    --it;
    std::size_t done = 0;
    while (done < buf.size()) {
      // Empty parts are stepped over.
      while (it != parts_.end() && offset + done >= it->start + it->size) ++it;
      if (it == parts_.end()) return Fail(EIO);
      const std::uint64_t in_part = offset + done - it->start;
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size() - done, it->size - in_part));
      const ssize_t n = ::pread(it->fd, buf.data() + done, want, static_cast<off_t>(in_part));
      if (n < 0) {
        if (errno == EINTR) continue;
        return Fail(errno);
      }
      // A part cut short since it was opened.
      if (n == 0) return Fail(EIO);
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  struct Part {
    int fd;
    std::uint64_t start, size;
  };
  bool Fail(int err) {
    error_ = std::strerror(err);
    return false;
  }
  std::vector<Part> parts_;
  std::uint64_t size_ = 0;
};

// A name's trailing ".NNN": the stem before the dot, the digits' value and width.
struct Numbered {
  std::string stem;
  std::uint64_t number = 0;
  std::size_t width = 0;
};
std::optional<Numbered> SplitNumber(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return std::nullopt;
  const std::string digits = path.substr(dot + 1);
  if (digits.size() < 2 || digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return Numbered{path.substr(0, dot), std::stoull(digits), digits.size()};
}

std::string PartName(const Numbered& n, std::uint64_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() > n.width) return {};
  return n.stem + "." + std::string(n.width - digits.size(), '0') + digits;
}

}  // namespace

const char* ImageFormatName(ImageFormat f) {
  switch (f) {
    case ImageFormat::Raw: return "";
    case ImageFormat::SplitRaw: return "SPLIT";
    case ImageFormat::Ewf: return "EWF";
    case ImageFormat::Vmdk: return "VMDK";
    case ImageFormat::Vhd: return "VHD";
    case ImageFormat::Vhdx: return "VHDX";
    case ImageFormat::Qcow: return "QCOW";
  }
  return "";
}

ImageFormat SniffImageFormat(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail) {
  using namespace std::string_view_literals;
  if (StartsWith(head, "EVF\x09\x0d\x0a\xff\x00"sv)) return ImageFormat::Ewf;
  if (StartsWith(head, "KDMV"sv) || StartsWith(head, "COWD"sv) || StartsWith(head, "# Disk DescriptorFile"sv))
    return ImageFormat::Vmdk;
  if (StartsWith(head, "vhdxfile"sv)) return ImageFormat::Vhdx;
  if (StartsWith(head, "QFI\xfb"sv)) return ImageFormat::Qcow;
  if (StartsWith(tail, "conectix"sv) || StartsWith(head, "conectix"sv)) return ImageFormat::Vhd;
  return ImageFormat::Raw;
}

std::vector<std::string> SplitRawParts(const std::string& path) {
  const std::optional<Numbered> n = SplitNumber(path);
  if (!n || n->number != 1 || !IsRegularFile(path)) return {};
  std::vector<std::string> parts{path};
  for (std::uint64_t next = 2;; ++next) {
    const std::string name = PartName(*n, next);
    if (name.empty() || !IsRegularFile(name)) break;
    parts.push_back(name);
  }
  if (parts.size() < 2) return {};
  return parts;
}

bool IsSplitRawPart(const std::string& path) {
  const std::optional<Numbered> n = SplitNumber(path);
  if (!n || n->number == 0) return false;
  const std::vector<std::string> parts = SplitRawParts(PartName(*n, 1));
  return n->number <= parts.size();
}

std::unique_ptr<ImageReader> OpenImageReader(ImageFormat format, const std::string& path, std::string& problem) {
  switch (format) {
    case ImageFormat::Raw: break;
    case ImageFormat::SplitRaw: return SplitRawReader::Open(path, problem);
    case ImageFormat::Ewf: return EwfReader::Open(path, problem);
    case ImageFormat::Vmdk: return VmdkReader::Open(path, problem);
    case ImageFormat::Vhd:
    case ImageFormat::Vhdx: return VhdiReader::Open(format, path, problem);
    case ImageFormat::Qcow: return QcowReader::Open(path, problem);
  }
  problem = "not a container image";
  return nullptr;
}
