// The per-file copies: one marked file out of the raw volume into a folder.
// The copy walks, the finder's copy and the CLI call these with the drive and
// volume they took from the selections.
#pragma once
#include <cstdint>
#include <string>

#include "app/context.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;
struct FILE_INODE;
class OutputDir;

enum class CopyOutcome {
  Copied,   // every byte written
  Skipped,  // nothing to write by rule (a system file, a volume type without a copy)
  Failed,   // not all of it could be read or written (what was written stays)
  Stopped,  // "Terminate Scan" arrived during the copy (partial output stays)
};

struct CopyResult {
  CopyOutcome outcome = CopyOutcome::Failed;
  std::string output_name;  // the name created in the folder; empty when nothing was created
  std::uint64_t bytes = 0;  // bytes written
};

// Both return 1 on success or when nothing had to be written, 0 on failure
// or when stopped; `result` says which. The output is created in `dir` under
// the file's name, or "name.N" from N = ctx.files_done while a name is taken.
int CopyFat32File(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol, FILE_INODE& f, const OutputDir& dir,
                  CopyResult& result);
int CopyNtfsFile(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, FILE_INODE& f, const OutputDir& dir,
                 CopyResult& result);
