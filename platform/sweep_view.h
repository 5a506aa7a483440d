// Looking at the bytes of a plain image file or a block device where the page
// cache holds them, for a sweep that reads every byte once: copying half a
// gigabyte out of the cache costs more processor time than the search done
// on it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/sysio.h"

class SweepView {
 public:
  // `stream` is the sweep's own descriptor (sys_OpenStream): the read-ahead
  // the kernel does for the view is kept on it. A handle that cannot be
  // viewed (a container, split image, anything not a plain file or block
  // device) makes a view that brings nothing.
  explicit SweepView(DevHandle stream);
  ~SweepView();
  SweepView(const SweepView&) = delete;
  SweepView& operator=(const SweepView&) = delete;

  // The `length` bytes at `offset`, read in from the disk; empty when they
  // cannot be (a sector that does not read, bytes past the end, a kernel
  // without the means): the caller then reads them instead, which also
  // finds out which sectors are bad. What comes back may be read only inside
  // ReadViewed, and only until the next call.
  std::span<const std::uint8_t> Bring(std::uint64_t offset, std::size_t length);

 private:
  bool MapWindow(std::uint64_t offset, std::size_t length);
  void Unmap();

  int fd_ = -1;
  std::uint8_t* window_ = nullptr;
  std::uint64_t window_offset_ = 0;
  std::size_t window_length_ = 0;
  bool usable_ = false;
};

// Runs fn(arg) so that a fault on viewed bytes (pages dropped under memory
// pressure that then fail to read again, an image file cut short meanwhile)
// leaves fn at once and returns false instead of ending the process. fn may
// only read viewed bytes and write memory it was given: it is left mid-way,
// so it must not allocate, lock, or own anything with a destructor.
bool sys_ReadViewed(void (*fn)(void*), void* arg);

template <class F>
bool ReadViewed(F& fn) {
  return sys_ReadViewed([](void* f) { (*static_cast<F*>(f))(); }, &fn);
}

// Tests: faults the next ReadViewed as a dropped page would, once; whether
// that is still to come.
void sys_FaultNextViewedRead();
bool sys_ViewedFaultPending();
