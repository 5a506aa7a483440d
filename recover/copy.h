// "Copy Marked Files w/Directories" and "Copy Marked Files Flat": the marked
// files of the ticked directories, out of the raw volume into a folder.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

#include "app/context.h"
#include "recover/copy_file.h"
#include "scan/records.h"

class OutputDir;

struct CopyTally {
  std::uint64_t copied = 0, skipped = 0, failed = 0, bytes = 0;
};

// Told of every marked file handled: the tree item of its directory, the
// file, the folder it went to relative to the destination ("" for the
// destination itself; names joined with "/") and what came of it.
using CopyObserver =
    std::function<void(const TreeItem* dir_item, const FILE_INODE& f, const std::string& folder, const CopyResult&)>;
// One observer for the process (the CLI prints its rows through it); null: none.
void SetCopyObserver(CopyObserver observer);

// What one copy needs besides the context.
struct CopyRun {
  AppContext& ctx;
  PHYDRIVE_INFO& drive;
  LOGDRIVE_INFO& vol;
  CopyTally tally;
};

// The walks from `first` along its siblings; 1 when done, 0 when stopped.
int CopyMarkedFilesWithDirs(CopyRun& run, TreeItem* first, const OutputDir& dest);
int CopyMarkedFilesFlat(CopyRun& run, TreeItem* first, const OutputDir& dest);
// The marked files of one directory into `out`; 0 when "Terminate Scan" waits after the last file.
int CopyDirectoryFiles(CopyRun& run, const TreeItem* item, INODE_RECD& dir, const OutputDir& out,
                       const std::string& folder);

// The whole copy into dest from the tree's first item (FAT tables loaded and
// released around it, main bar ranged); marks and ticks are updated.
CopyTally CopyMarkedFiles(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol, const OutputDir& dest,
                          bool with_dirs);
// The menu commands (40020 with directories, 40023 flat).
void CopyMarkedFilesCommand(AppContext& ctx, bool with_dirs);

// The per-file progress bar: the finder's while it copies, else the main window's second bar.
ProgressBar* PerFileProgressBar(AppContext& ctx);

// Marked files in the tree (any directory, ticked or not).
std::uint64_t CountMarkedFiles(const AppContext& ctx);

// Whether a folder on the file system of device `folder_dev` lies on the
// block device `drive_dev`: the device itself, one of its partitions, or a
// device stacked on either (dm, md, loop over a partition), as the block
// layer at `sys_dev_block` (/sys/dev/block) shows them.
bool DeviceOnDrive(dev_t folder_dev, dev_t drive_dev, const std::string& sys_dev_block = "/sys/dev/block");
// An empty string when `folder` may receive the copy; else why not (naming
// both the folder and the drive). Image files are never written to: the
// output is always a new file.
std::string DestinationConflict(const std::string& folder, const PHYDRIVE_INFO& drive);
