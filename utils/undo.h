// Undo files: the sectors a builder is about to overwrite, saved with the
// identity of their drive so that they can be put back on that drive only.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct AppContext;
struct PHYDRIVE_INFO;

// One planned write: whole sectors from lba.
struct SectorWrite {
  std::uint64_t lba = 0;
  std::vector<std::uint8_t> bytes;
  std::string what;  // "boot record", "partition table", ...
};

struct UndoRange {
  std::uint64_t lba = 0;
  std::vector<std::uint8_t> bytes;
};

struct UndoFile {
  std::string device_path, model, serial;
  std::uint64_t total_sectors = 0;
  std::vector<UndoRange> ranges;
};

// $XDG_DATA_HOME/retrova/undo, else ~/.local/share/retrova/undo.
std::filesystem::path UndoDir();
// "<drive>-lba<N>-<YYYYmmdd-HHMMSS>.undo": the drive's device name, the first LBA written, the time.
std::string UndoFileName(const PHYDRIVE_INFO& d, std::uint64_t lba);

// Reads the sectors the writes will cover; nullopt with the reason when one cannot be read.
std::optional<UndoFile> CaptureUndo(AppContext& ctx, PHYDRIVE_INFO& d, const std::vector<SectorWrite>& writes,
                                    std::string& error);
// Writes the file into UndoDir() (made when missing); its path, or nullopt with the reason.
std::optional<std::filesystem::path> SaveUndo(const UndoFile& u, const PHYDRIVE_INFO& d, std::string& error);
std::optional<UndoFile> LoadUndo(const std::filesystem::path& path, std::string& error);
// Why the file does not belong to this drive; empty when it does (same
// model, serial and size; for a drive without serial, the same file name).
std::string UndoMismatch(const UndoFile& u, const PHYDRIVE_INFO& d);

// The outcome of a guarded write.
struct UndoWriteOutcome {
  bool ok = false;
  std::filesystem::path undo_path;  // empty when nothing was saved
  std::string error;                // why it stopped
};
// Saves the old sectors to an undo file, then writes every planned write
// through WriteSectors. Nothing is written when the undo cannot be saved; a
// failed write stops the rest and is reported.
UndoWriteOutcome WriteWithUndo(AppContext& ctx, PHYDRIVE_INFO& d, const std::vector<SectorWrite>& writes);
// Puts the saved sectors back; false with the reason at the first failed write.
bool RestoreUndo(const UndoFile& u, PHYDRIVE_INFO& d, std::string& error);
