#include "utils/clone.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "app/context.h"
#include "disk/bulk_write.h"
#include "disk/phydrive.h"
#include "platform/aligned_buffer.h"

std::uint64_t CloneDefaultTotal(const PHYDRIVE_INFO* source, const PHYDRIVE_INFO* destination,
                                std::uint64_t source_start, std::uint64_t dest_start) {
  if (source && destination) return std::min(SectorsAfter(*source, source_start), SectorsAfter(*destination, dest_start));
  if (source) return SectorsAfter(*source, source_start);
  if (destination) return SectorsAfter(*destination, dest_start);
  return 0;
}

std::string CheckClone(const CloneRequest& r, const MountTables& tables) {
  if (!r.source || !r.destination) return "Choose a source and a destination drive.";
  if (std::string e = CheckRange(*r.source, r.source_start, r.total, "Source"); !e.empty()) return e;
  if (std::string e = CheckRange(*r.destination, r.dest_start, r.total, "Destination"); !e.empty()) return e;
  // Both ranges fit, so neither sum overflows.
  if (SameDriveFile(r.source->device_path, r.destination->device_path) && r.source_start < r.dest_start + r.total &&
      r.dest_start < r.source_start + r.total)
    return "Source and destination are the same drive and the two ranges overlap.";
  return CheckNotMounted(*r.destination, tables);
}

std::string DescribeClone(const CloneRequest& r) {
  char text[600];
  std::snprintf(text, sizeof text,
                "Copy %" PRIu64 " sectors: %s sectors %" PRIu64 "-%" PRIu64 " onto %s sectors %" PRIu64 "-%" PRIu64
                ".\nNo undo is kept: the destination sectors are overwritten for good.",
                r.total, DriveLabel(*r.source).c_str(), r.source_start, r.source_start + r.total - 1,
                DriveLabel(*r.destination).c_str(), r.dest_start, r.dest_start + r.total - 1);
  return text;
}

WriteOutcome CopySectors(AppContext& ctx, const CloneRequest& r, const UnitHook& after_unit) {
  WriteOutcome out;
  DriveWriter writer(*r.destination);
  if (!writer.is_open()) {
    out.failed = true;
    out.message = "Cannot open " + DriveLabel(*r.destination) + " for writing: " + writer.error();
    return out;
  }
  AlignedBuffer buffer(kTransferSectors * kSectorSize);
  while (out.done < r.total) {
    if (ctx.clone_running == 0) {
      out.stopped = true;
      break;
    }
    const std::uint64_t n = std::min(kTransferSectors, r.total - out.done);
    std::span<std::uint8_t> unit = buffer.span().first(n * kSectorSize);
    // Unreadable sectors come back as zeros, counted on the drive.
    const std::uint64_t errors_before = r.source->read_errors;
    if (ReadSectors(ctx, *r.source, r.source_start + out.done, unit) == 0) {
      std::fill(unit.begin(), unit.end(), 0);
      out.read_errors += n;
    }
    out.read_errors += r.source->read_errors - errors_before;
    if (!writer.Write(r.dest_start + out.done, unit)) {
      out.failed = true;
      char text[300];
      std::snprintf(text, sizeof text, "Write failed at sector %" PRIu64 " of %s: %s", r.dest_start + out.done,
                    DriveLabel(*r.destination).c_str(), writer.error().c_str());
      out.message = text;
      return out;
    }
    out.done += n;
    if (after_unit) after_unit(out.done);
  }
  if (!writer.Finish()) {
    out.failed = true;
    out.message = "Flushing " + DriveLabel(*r.destination) + " failed: " + writer.error();
  }
  return out;
}
