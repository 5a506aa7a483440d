#include "utils/wipe.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>

#include "app/context.h"
#include "app/shell.h"
#include "app/status.h"
#include "platform/frontend.h"
#include "res/ids.h"
#include "res/resources.h"
#include "res/utility_dialogs_clone.h"
#include "utils/progress_pie.h"
#include "disk/bulk_write.h"
#include "disk/phydrive.h"
#include "platform/aligned_buffer.h"

namespace {

// Four independent xorshift128+ lanes: the compiler keeps them in vector
// registers, so a megabyte is made several times faster than it is written;
// replayable from its seed for the read-back. Not for secrets, only to
// leave no pattern behind.
struct RandomStream {
  std::uint64_t s0[4], s1[4];
  explicit RandomStream(std::uint64_t seed) {
    for (int k = 0; k < 4; ++k) {
      s0[k] = SplitMix(seed);
      s1[k] = SplitMix(seed);
    }
  }
  static std::uint64_t SplitMix(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // out.size() is a whole number of sectors, so of 32-byte blocks.
  void Fill(std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i + 32 <= out.size(); i += 32) {
      std::uint64_t v[4];
      for (int k = 0; k < 4; ++k) {
        std::uint64_t x = s0[k];
        const std::uint64_t y = s1[k];
        s0[k] = y;
        x ^= x << 23;
        s1[k] = x ^ y ^ (x >> 17) ^ (y >> 26);
        v[k] = s1[k] + y;
      }
      std::memcpy(out.data() + i, v, sizeof v);
    }
  }
};

std::uint64_t NewSeed() {
  std::random_device rd;
  const std::uint64_t seed = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  return seed != 0 ? seed : 0x9E3779B97F4A7C15ULL;
}

// The pattern of pass p: 0x00, 0xFF, or random (-1).
int PassPattern(const WipeRequest& r, std::uint32_t pass) {
  if (r.method == WipeMethod::Dod && pass < 2) return pass == 0 ? 0x00 : 0xFF;
  return -1;
}

}  // namespace

std::uint32_t WipePasses(const WipeRequest& r) { return r.method == WipeMethod::Dod ? 3 : r.iterations; }

std::string CheckWipe(const WipeRequest& r, const MountTables& tables) {
  if (!r.target) return "Choose a drive to wipe.";
  if (r.method == WipeMethod::UserDefined && (r.iterations == 0 || r.iterations > kMaxWipeIterations))
    return "Iterations must be 1 to " + std::to_string(kMaxWipeIterations) + ".";
  if (std::string e = CheckRange(*r.target, r.start, r.total, "Target"); !e.empty()) return e;
  if (std::string e = WriteRefusal(*r.target); !e.empty()) return "Target: " + e;
  return CheckNotMounted(*r.target, tables);
}

std::string DescribeWipe(const WipeRequest& r) {
  char text[600];
  const std::string how = r.method == WipeMethod::Dod
                              ? std::string("DOD wipe: zeros, ones, random, read back")
                              : std::to_string(r.iterations) + " pass(es) of random data";
  std::snprintf(text, sizeof text,
                "Wipe %" PRIu64 " sectors of %s, sectors %" PRIu64 "-%" PRIu64 " (%s).\n"
                "No undo is kept: the data in this range is destroyed.",
                r.total, DriveLabel(*r.target).c_str(), r.start, r.start + r.total - 1, how.c_str());
  return text;
}

WriteOutcome WipeSectors(AppContext& ctx, const WipeRequest& r, const UnitHook& after_unit) {
  WriteOutcome out;
  DriveWriter writer(*r.target);
  if (!writer.is_open()) {
    out.failed = true;
    out.message = "Cannot open " + DriveLabel(*r.target) + " for writing: " + writer.error();
    return out;
  }
  AlignedBuffer buffer(kTransferSectors * kSectorSize);
  AlignedBuffer expected;
  const std::uint32_t passes = WipePasses(r);
  std::uint64_t progress = 0;
  std::uint64_t last_seed = 0;
  auto stop_requested = [&] { return ctx.wipe_running == 0; };
  for (std::uint32_t pass = 0; pass < passes && !out.stopped; ++pass) {
    const int pattern = PassPattern(r, pass);
    RandomStream random(last_seed = NewSeed());
    if (pattern >= 0) std::memset(buffer.data(), pattern, buffer.size());
    out.done = 0;
    while (out.done < r.total) {
      if (stop_requested()) {
        out.stopped = true;
        break;
      }
      const std::uint64_t n = std::min(kTransferSectors, r.total - out.done);
      std::span<std::uint8_t> unit = buffer.span().first(n * kSectorSize);
      if (pattern < 0) random.Fill(unit);
      if (!writer.Write(r.start + out.done, unit)) {
        char text[300];
        std::snprintf(text, sizeof text, "Write failed at sector %" PRIu64 " of %s: %s", r.start + out.done,
                      DriveLabel(*r.target).c_str(), writer.error().c_str());
        out.failed = true;
        out.message = text;
        return out;
      }
      out.done += n;
      progress += n;
      if (after_unit) after_unit(progress);
    }
  }
  if (!writer.Finish()) {
    out.failed = true;
    out.message = "Flushing " + DriveLabel(*r.target) + " failed: " + writer.error();
    return out;
  }
  if (r.method != WipeMethod::Dod || out.stopped) return out;

  // Read the last pass back: every sector must hold what was written.
  expected = AlignedBuffer(buffer.size());
  RandomStream replay(last_seed);
  for (std::uint64_t at = 0; at < r.total;) {
    if (stop_requested()) {
      out.stopped = true;
      break;
    }
    const std::uint64_t n = std::min(kTransferSectors, r.total - at);
    std::span<std::uint8_t> got = buffer.span().first(n * kSectorSize);
    std::span<std::uint8_t> want = expected.span().first(n * kSectorSize);
    replay.Fill(want);
    const std::uint64_t errors_before = r.target->read_errors;
    const bool read = ReadSectors(ctx, *r.target, r.start + at, got) != 0;
    if (!read || r.target->read_errors != errors_before || !std::equal(got.begin(), got.end(), want.begin())) {
      for (std::uint64_t s = 0; s < n; ++s)
        if (!read || !std::equal(got.begin() + s * kSectorSize, got.begin() + (s + 1) * kSectorSize,
                                 want.begin() + s * kSectorSize))
          ++out.read_errors;
    }
    at += n;
    progress += n;
    if (after_unit) after_unit(progress);
  }
  if (out.read_errors != 0) {
    out.failed = true;
    char text[300];
    std::snprintf(text, sizeof text, "Read-back of %s: %" PRIu64 " sectors do not hold the last pass.",
                  DriveLabel(*r.target).c_str(), out.read_errors);
    out.message = text;
  }
  return out;
}

// ---- The dialog ----------------------------------------------------------------------

namespace {

constexpr int kWipeControls[] = {IDC_WIPE_LIST, IDC_WIPE_GO,    IDC_WIPE_PICK,  IDC_WIPE_DOD,
                                 IDC_WIPE_USER, IDC_WIPE_START, IDC_WIPE_TOTAL, IDC_WIPE_ITERATIONS};

void SetMethod(Dialog* dlg, bool dod) {
  if (Control* c = GetDlgItem(dlg, IDC_WIPE_DOD)) c->check = dod ? 1 : 0, ++c->version;
  if (Control* c = GetDlgItem(dlg, IDC_WIPE_USER)) c->check = dod ? 0 : 1, ++c->version;
}

void InitWipeDialog(AppContext& ctx, Dialog* dlg) {
  ctx.wipe_target = nullptr;
  SetDlgItemText(dlg, IDC_WIPE_START, "0");
  SetDlgItemText(dlg, IDC_WIPE_TOTAL, "0");
  SetDlgItemText(dlg, IDC_WIPE_ITERATIONS, "3");
  SetMethod(dlg, true);
  if (!ctx.wipe_list) {
    EndDialog(dlg, IDC_DLG_CLOSE);
    return;
  }
  InsertListColumns(ctx.wipe_list, kWipeListColumns);
  ListView_SetExtendedStyle(ctx.wipe_list, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  AddDriveRows(ctx, ctx.wipe_list, "AddWipeDrive");
}

// Total: what is left after the Start Sector typed before (0 when unreadable).
void PickWipeDrive(AppContext& ctx, Dialog* dlg) {
  PHYDRIVE_INFO* d = SelectedDrive(ctx.wipe_list);
  if (!d) return;
  ctx.wipe_target = d;
  SetDlgItemText(dlg, IDC_WIPE_TARGET, ChosenDriveText(*d));
  SetDlgItemText(dlg, IDC_WIPE_TOTAL, std::to_string(SectorsAfter(*d, SectorField(dlg, IDC_WIPE_START).value_or(0))));
}

bool WipeCommand(AppContext& ctx, Dialog* dlg, int id) {
  switch (id) {
    case IDC_WIPE_PICK:
      PickWipeDrive(ctx, dlg);
      return true;
    case IDC_WIPE_DOD:
    case IDC_WIPE_USER:
      SetMethod(dlg, id == IDC_WIPE_DOD);
      return true;
    default:
      return false;
  }
}

void RunWipeFromDialog(AppContext& ctx, Dialog* dlg);

const DriveRunDialog kWipeDialog{&AppContext::wipe_running, &AppContext::wipe_dlg, &AppContext::wipe_list,
                                 IDC_WIPE_LIST, IDC_WIPE_GO, IDC_WIPE_EXIT, kWipeControls, kWipePie,
                                 InitWipeDialog, RunWipeFromDialog, WipeCommand};

void RunWipeFromDialog(AppContext& ctx, Dialog* dlg) {
  const auto start = SectorField(dlg, IDC_WIPE_START);
  const auto total = SectorField(dlg, IDC_WIPE_TOTAL);
  const auto iterations = SectorField(dlg, IDC_WIPE_ITERATIONS);
  if (!start || !total || !iterations) {
    ShowRefusal(dlg, "Start Sector, Total Sectors and Iterations must be numbers.", "Wipe it!");
    return;
  }
  const Control* dod = GetDlgItem(dlg, IDC_WIPE_DOD);
  WipeRequest r{ctx.wipe_target, *start, *total,
                dod && dod->check == 0 ? WipeMethod::UserDefined : WipeMethod::Dod,
                static_cast<std::uint32_t>(std::min<std::uint64_t>(*iterations, kMaxWipeIterations + 1))};
  if (const std::string refusal = CheckWipe(r); !refusal.empty()) {
    ShowRefusal(dlg, refusal, "Wipe it!");
    return;
  }
  if (!ConfirmWrite(dlg, DescribeWipe(r) + "\n\nWrite now?", "Wipe it!")) return;
  const std::uint64_t units = r.total * (WipePasses(r) + (r.method == WipeMethod::Dod ? 1 : 0));
  const WriteOutcome out =
      RunWithPie(ctx, dlg, kWipeDialog, units, [&](const UnitHook& hook) { return WipeSectors(ctx, r, hook); });

  char text[300];
  std::snprintf(text, sizeof text, "%s: %" PRIu64 " of %" PRIu64 " sectors in the last pass.",
                out.stopped ? "Stopped" : "Wiped", out.done, r.total);
  if (out.failed)
    ShowRefusal(dlg, out.message + "\n" + text, "Wipe it!");
  else
    fe_MessageBox(dlg, text, "Wipe it!", MB_OK | MB_ICONINFORMATION);
}

}  // namespace

std::intptr_t WipeDlgProc(Dialog* dlg, const Msg& msg) { return DriveRunDlgProc(kWipeDialog, dlg, msg); }

void WipeDriveCommand(AppContext& ctx) {
  if (ctx.scan_running != 0 || ctx.finder_copy_running != 0) return;
  RunDialog(IDD_WIPE, WipeDlgProc, ctx.main_dlg);
  ctx.wipe_dlg = nullptr;
  ctx.wipe_list = nullptr;
}
