// The sweep's view of a plain image or a device, and the guard that lets it
// read mapped pages without dying of a page that can no longer be read.
#include "platform/sweep_view.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <limits>

namespace {

// Windows are mapped and dropped as the sweep moves on, so that the pages it
// has looked at leave the process's resident set.
constexpr std::size_t kWindowBytes = std::size_t{16} << 20;

std::size_t PageBytes() {
  static const std::size_t page = [] {
    const long p = ::sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<std::size_t>(p) : std::size_t{4096};
  }();
  return page;
}

// ---- The fault guard -------------------------------------------------------------

thread_local sigjmp_buf* t_guard = nullptr;
thread_local bool t_fault_next = false;

struct sigaction g_before {};
int g_installed = 0;  // views and guards that need the handler

void OnBusError(int, siginfo_t*, void*) {
  if (sigjmp_buf* guard = t_guard) {
    t_guard = nullptr;
    siglongjmp(*guard, 1);
  }
  // Not ours: the fault gets the treatment it had before the view existed
  // when the instruction runs again.
  ::sigaction(SIGBUS, &g_before, nullptr);
}

void InstallHandler() {
  if (g_installed++ > 0) return;
  struct sigaction sa {};
  sa.sa_sigaction = OnBusError;
  sa.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGBUS, &sa, &g_before);
}

void RemoveHandler() {
  if (g_installed == 0 || --g_installed > 0) return;
  ::sigaction(SIGBUS, &g_before, nullptr);
}

}  // namespace

bool sys_ReadViewed(void (*fn)(void*), void* arg) {
  InstallHandler();  // a counter only while a view holds the handler
  struct Done {
    ~Done() {
      t_guard = nullptr;
      RemoveHandler();
    }
  } done;
  sigjmp_buf guard;
  // The mask is not saved: that would be a system call for every chunk.
  // SA_NODEFER leaves SIGBUS unblocked when the handler jumps out.
  if (sigsetjmp(guard, 0) != 0) return false;
  t_guard = &guard;
  if (t_fault_next) {
    t_fault_next = false;
    ::raise(SIGBUS);
  }
  fn(arg);
  return true;
}

void sys_FaultNextViewedRead() { t_fault_next = true; }

bool sys_ViewedFaultPending() { return t_fault_next; }

// ---- The view --------------------------------------------------------------------

SweepView::SweepView(DevHandle stream) {
  struct stat st {};
  if (stream < 0 || sys_HasReadFaultHook() || sys_HandleFormat(stream) != ImageFormat::Raw || ::fstat(stream, &st) != 0 ||
      !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))
    return;
  fd_ = stream;
  usable_ = true;
  InstallHandler();
}

SweepView::~SweepView() {
  Unmap();
  if (fd_ >= 0) RemoveHandler();
}

void SweepView::Unmap() {
  if (window_) ::munmap(window_, window_length_);
  window_ = nullptr;
  window_length_ = 0;
}

bool SweepView::MapWindow(std::uint64_t offset, std::size_t length) {
  Unmap();
  const std::uint64_t start = offset / PageBytes() * PageBytes();
  const std::uint64_t lead = offset - start;
  if (length > std::numeric_limits<std::size_t>::max() - lead - kWindowBytes) return false;
  const std::size_t bytes = std::max(kWindowBytes, static_cast<std::size_t>(lead) + length);
  if (start > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - bytes) return false;
  void* at = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(start));
  if (at == MAP_FAILED) return false;
  window_ = static_cast<std::uint8_t*>(at);
  window_offset_ = start;
  window_length_ = bytes;
  // Read-ahead on faults as for a front-to-back read, and pages behind given
  // up first.
  ::madvise(window_, window_length_, MADV_SEQUENTIAL);
  return true;
}

std::span<const std::uint8_t> SweepView::Bring(std::uint64_t offset, std::size_t length) {
  if (!usable_ || length == 0) return {};
  if (!window_ || offset < window_offset_ || offset - window_offset_ > window_length_ ||
      length > window_length_ - (offset - window_offset_)) {
    if (!MapWindow(offset, length)) {
      usable_ = false;
      return {};
    }
  }
  const std::size_t at = static_cast<std::size_t>(offset - window_offset_);
  const std::size_t first_page = at / PageBytes() * PageBytes();
  // Populating reads the pages in (and reports a sector that does not read
  // or bytes past the end) without touching them: no fault can come of it.
  if (::madvise(window_ + first_page, at + length - first_page, MADV_POPULATE_READ) != 0) {
    // Kernels before 5.14 do not know the request: read, as they always did.
    if (errno == EINVAL) usable_ = false;
    return {};
  }
  return {window_ + at, length};
}
