// The one application context that every operation takes first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/controls.h"
#include "platform/window.h"

struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;
struct INODE_RECD;
struct FILE_INODE;
class DirNumberIndex;

struct FinderPattern {
  char extension[255];
  char description[255];
};

struct AppContext {
  // Process
  void* instance = nullptr;
  std::int32_t show_command = 0;

  // Windows and controls
  Dialog* main_dlg = nullptr;
  Dialog* about_dlg = nullptr;
  TreeView* dir_tree = nullptr;
  TreeView* info_tree = nullptr;
  ListView* file_list = nullptr;
  ListView* phy_list = nullptr;
  ListView* log_list = nullptr;
  ProgressBar* progress_bar = nullptr;
  ProgressBar* progress_bar2 = nullptr;
  ImageList* image_list = nullptr;
  TreeItem* info_phy_item = nullptr;
  TreeItem* info_log_item = nullptr;

  // State
  std::int32_t scan_running = 0;
  std::int32_t sel_phy_row = 0;
  std::int32_t sel_log_row = 0;
  LOGDRIVE_INFO* scanned_logdrive = nullptr;
  // Why drives of this machine are missing from the list (they could not be
  // opened for lack of permission) and how to fix it; empty when none are.
  std::string drive_access_note;

  // Secondary dialogs
  Dialog* finder_dlg = nullptr;
  ListView* finder_list = nullptr;
  ProgressBar* finder_progress = nullptr;
  Dialog* bootrec_dlg = nullptr;
  Dialog* partrec_dlg = nullptr;
  Dialog* clone_dlg = nullptr;
  ListView* clone_list = nullptr;
  Dialog* wipe_dlg = nullptr;
  ListView* wipe_list = nullptr;

  // Finder
  std::int32_t finder_copy_running = 0;
  std::int32_t stop_copy = 0;
  std::int32_t finder_found = 0;
  FinderPattern finder_patterns[20] = {};

  // Clone and wipe
  std::int32_t clone_running = 0;
  PHYDRIVE_INFO* clone_source = nullptr;
  PHYDRIVE_INFO* clone_destination = nullptr;
  std::int32_t wipe_running = 0;
  PHYDRIVE_INFO* wipe_target = nullptr;

  // Partition search
  std::uint64_t search_lba = 0;
  std::uint64_t search_total = 0;

  // Scan tree pending lists
  std::uint64_t pending_dir_count = 0;
  INODE_RECD* pending_dir_head = nullptr;
  INODE_RECD* pending_dir_tail = nullptr;
  std::uint64_t pending_file_count = 0;
  FILE_INODE* pending_file_head = nullptr;
  FILE_INODE* pending_file_tail = nullptr;
  // Arrays of FILE_INODEs made many at once (a load), each file of them on
  // the pending-file list; freed whole with that list. The last one has
  // file_block_used of its slots taken.
  std::vector<FILE_INODE*> file_blocks;
  std::size_t file_block_used = 0;
  TreeItem* root_item = nullptr;
  INODE_RECD* mft_inode = nullptr;
  // The number index linking built, kept for attaching the files that follows.
  std::shared_ptr<DirNumberIndex> linked_index;

  // Copy and verify
  std::int32_t active_fs_type = 0;
  std::uint64_t files_done = 0;
  void* usage_map = nullptr;

  // Debug window
  void* debug_wnd = nullptr;
  void* debug_dc = nullptr;
  std::int32_t debug_x = 0;
  std::int32_t debug_y = 0;
  std::int32_t debug_line_height = 0;
};

// Window procedures receive no context argument; they reach the one instance here.
AppContext& App();
// Sets every field back to zero, as the entry point does before anything runs.
void ResetAppContext();
