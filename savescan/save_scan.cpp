#include "savescan/save_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <unordered_map>
#include <unordered_set>

#include "app/shell.h"
#include "app/info_panels.h"
#include "app/status.h"
#include "disk/phydrive.h"
#include "platform/bytes.h"
#include "platform/frontend.h"
#include "recover/output.h"
#include "res/ids.h"
#include "scan/display.h"
#include "scan/tree.h"
#include "volume/logdrive.h"
#include "volume/mount.h"

namespace {

constexpr const char* kErrorTitle = "** Error **";

void ErrorBox(AppContext& ctx, const std::string& text) {
  fe_MessageBox(ctx.main_dlg, text, kErrorTitle, MB_OK | MB_ICONSTOP);
}

std::string Terminating(const char* what) { return std::string("Error on ") + what + ". Terminating."; }

std::string DisplayName(const INODE_RECD& r) {
  if (r.posix_name) return std::string(r.posix_name->c_str());
  if (r.short_name) return std::string(r.short_name->c_str());
  return {};
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// ---- The tree as directory records -------------------------------------------------

struct SavedDir {
  const INODE_RECD* rec;
  std::uint64_t number;
  std::uint64_t parent;
};

bool IsUnlinkedNode(const TreeItem* item, const TreeItem* root) {
  const auto* r = static_cast<const INODE_RECD*>(item->data);
  return r && item->parent == root && r->tree_owned && (r->record_flags & kRecSynthetic) &&
         r->posix_name && *r->posix_name == "Unlinked Data";
}

// Every directory below Root in tree order, numbered so that the load's
// linking (by parent_number, first match in tree order) puts each one back
// under the parent it has now. Only a directory with subdirectories is ever
// looked up by number, so only those need numbers of their own: such a
// directory keeps its number unless an earlier one kept it, or it is Root's
// (5) or the synthetic nodes' (0); a directory without subdirectories keeps
// its number unless a directory with subdirectories kept that number and is
// not its ancestor. The others get unused numbers. Children of "Unlinked Data" point at a number
// no directory has, so the load puts them under its own "Unlinked Data".
std::vector<SavedDir> CollectDirs(TreeItem* root_item) {
  constexpr std::size_t kToRoot = SIZE_MAX, kToNowhere = SIZE_MAX - 1;
  struct Walk {
    const TreeItem* item;
    std::size_t parent;
  };
  std::vector<SavedDir> dirs;
  std::vector<std::size_t> parent_of;
  std::vector<Walk> stack;
  for (TreeItem* c = root_item->last_child; c; c = c->prev_sibling) stack.push_back({c, kToRoot});
  while (!stack.empty()) {
    const Walk w = stack.back();
    stack.pop_back();
    std::size_t self = kToNowhere;
    const auto* r = static_cast<const INODE_RECD*>(w.item->data);
    if (r && !IsUnlinkedNode(w.item, root_item)) {
      self = dirs.size();
      dirs.push_back({r, 0, 0});
      parent_of.push_back(w.parent);
    }
    for (const TreeItem* c = w.item->last_child; c; c = c->prev_sibling) stack.push_back({c, self});
  }

  std::vector<bool> has_children(dirs.size(), false);
  for (const std::size_t p : parent_of)
    if (p < dirs.size()) has_children[p] = true;
  auto reserved = [](std::uint64_t n) { return n == 0 || n == kRootNumber || n == kNoParent; };
  std::unordered_map<std::uint64_t, std::size_t> looked_up;  // number -> the directory with subdirectories keeping it
  std::unordered_set<std::uint64_t> seen;                     // every number a saved directory had
  seen.reserve(dirs.size());
  std::uint64_t highest = kRootNumber;
  std::vector<bool> kept(dirs.size(), false);
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    const std::uint64_t n = dirs[i].rec->own_number;
    seen.insert(n);
    if (n != kNoParent) highest = std::max(highest, n);
    if (has_children[i] && !reserved(n) && looked_up.emplace(n, i).second) kept[i] = true;
  }
  // Below the directory that holds its number, a directory never shadows it:
  // the lookup finds the first in tree order, and an ancestor comes first.
  auto below = [&](std::size_t i, std::size_t ancestor) {
    std::size_t p = parent_of[i];
    for (int steps = 0; p < dirs.size() && steps < 4096; ++steps, p = parent_of[p])
      if (p == ancestor) return true;
    return false;
  };
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    if (has_children[i]) continue;
    const auto holder = looked_up.find(dirs[i].rec->own_number);
    kept[i] = holder == looked_up.end() || below(i, holder->second);
  }
  std::uint64_t next = highest;
  auto fresh = [&] {
    do ++next;
    while (reserved(next) || seen.count(next));
    seen.insert(next);
    return next;
  };
  for (std::size_t i = 0; i < dirs.size(); ++i) dirs[i].number = kept[i] ? dirs[i].rec->own_number : fresh();
  const std::uint64_t nowhere = fresh();
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    const std::size_t p = parent_of[i];
    dirs[i].parent = p == kToRoot ? kRootNumber : p == kToNowhere ? nowhere : dirs[p].number;
  }
  return dirs;
}

// How many files a directory's list really holds (at most file_count).
std::uint64_t ListedFiles(const INODE_RECD& dir) {
  std::uint64_t n = 0;
  for (const FILE_INODE* f = dir.files_head; f && n < dir.file_count; f = f->next_in_dir) ++n;
  return n;
}

// The file blocks of dir, from files_head along next_in_dir (at most
// file_count of them), counted in `written`; false once the sink failed.
bool PutFileBlocks(SaveSink& out, const INODE_RECD& dir, std::uint64_t& written) {
  written = 0;
  for (const FILE_INODE* f = dir.files_head; f && written < dir.file_count; f = f->next_in_dir, ++written) {
    std::array<std::uint8_t, kFileInodeSize> image = FileInodeToBytes(*f);
    // The name as held, up to its first NUL and with one: the size is what
    // follows, whatever the record said.
    const std::size_t len = std::strlen(f->name.c_str());
    le::Write<std::uint32_t>(std::span<std::uint8_t>(image), 8, static_cast<std::uint32_t>(len + 1));
    if (!out.Put(image, "FILE INODE")) return false;
    if (!out.Put({reinterpret_cast<const std::uint8_t*>(f->name.c_str()), len + 1}, "WRITE FILE INODE file name"))
      return false;
  }
  return true;
}

bool WriteDirBlock(SaveSink& out, const SavedDir& d) {
  const INODE_RECD& r = *d.rec;
  std::array<std::uint8_t, kInodeRecdSize> image = InodeRecdToBytes(r);
  std::span<std::uint8_t> b(image);
  const std::uint64_t at = out.Offset();
  le::Write<std::uint32_t>(b, 12, kLinkFinal);
  // The count the list should hold; set to what it did hold once the blocks
  // are written (a damaged list ends early), so the list is walked once.
  le::Write<std::uint64_t>(b, 52, r.file_count);
  le::Write<std::uint64_t>(b, 76, d.number);
  le::Write<std::uint64_t>(b, 84, d.parent);
  if (!out.Put(image, "INODE")) return false;
  if (r.short_name && !out.Put(Bytes(*r.short_name), "WRITE SHORT file name")) return false;
  if (r.posix_name && !out.Put(Bytes(*r.posix_name), "WRITE POSIX file name")) return false;
  if (!out.Put(r.resident_data, "WRITE resident data")) return false;
  for (const RUN_ENTRY& e : r.run_list)
    if (!out.Put(RunEntryToBytes(e), "WRITE Run List")) return false;
  std::uint64_t written = 0;
  if (!PutFileBlocks(out, r, written)) return false;
  if (written == r.file_count) return true;
  std::array<std::uint8_t, 8> count{};
  le::Write<std::uint64_t>(std::span<std::uint8_t>(count), 0, written);
  return out.Patch(at + 52, count, "INODE");
}

// A new file in dir with a name of its own, for writing; -1 with errno set.
int CreateTempFile(const OutputDir& dir, std::string& name) {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char buf[64];
    std::snprintf(buf, sizeof buf, ".Save Scan.qsn.%08x", static_cast<unsigned>(rd()));
    const int fd = ::openat(dir.fd(), buf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) {
      name = buf;
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}

// ---- Loading -----------------------------------------------------------------------

// Takes n bytes for one part; false after the part's size-mismatch box.
bool TakePart(AppContext& ctx, SavedReader& in, std::size_t n, std::span<const std::uint8_t>& out, const char* what) {
  if (in.Take(n, out)) return true;
  if (in.error() != 0) {
    // The read failed rather than the file ending: the part's system error.
    std::string part = what;
    if (const std::size_t at = part.find(" size mismatch"); at != std::string::npos) part.replace(at, 14, " system error");
    ErrorBox(ctx, Terminating(part.c_str()) + "\n" + std::strerror(in.error()));
    return false;
  }
  ErrorBox(ctx, Terminating(what));
  return false;
}

void ClearDriveState(AppContext& ctx) {
  ClearLogicalDriveList(ctx);
  ResetScanTree(ctx);
  if (ctx.info_tree && ctx.info_log_item)
    while (TreeItem* child = TreeView_GetChild(ctx.info_log_item)) TreeView_DeleteItem(ctx.info_tree, child);
  for (int id : {IDC_M_BYTES, IDC_M_FILES, IDC_T_DIRS, IDC_T_FILES, IDC_RD_ERR}) SetStatusField(ctx, id, "0");
  SetStatusField(ctx, IDC_T_REM, "00:00:00");
  SetStatusField(ctx, IDC_STATUS, "Idle...");
}

bool PowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// One directory block; the record joins the pending list once whole. False
// after an error box (a record read in part is freed).
bool ReadDirBlock(AppContext& ctx, SavedReader& in) {
  std::span<const std::uint8_t> part;
  if (!TakePart(ctx, in, kInodeRecdSize, part, "INODE Read size mismatch")) return false;
  std::unique_ptr<INODE_RECD> r(new (std::nothrow) INODE_RECD);
  if (!r) {
    ErrorBox(ctx, Terminating("INODE_RECD memory allocation"));
    return false;
  }
  std::uint32_t posix_len = 0, short_len = 0, resident_len = 0, run_count = 0;
  InodeRecdFromBytes(part, *r, &posix_len, &short_len, &resident_len, &run_count);
  // Placement is the load's own business: a stored state must not keep a record out of the tree.
  r->link_state = kLinkMade;
  const std::uint64_t file_count = r->file_count;
  r->file_count = 0;

  auto read_name = [&](std::uint32_t len, std::optional<std::string>& name, const char* what) {
    if (len == 0) return true;
    if (len > kMaxSavedNameLen || !TakePart(ctx, in, len, part, what)) {
      if (len > kMaxSavedNameLen) ErrorBox(ctx, Terminating(what));
      return false;
    }
    name.emplace(reinterpret_cast<const char*>(part.data()), part.size());
    return true;
  };
  if (!read_name(short_len, r->short_name, "READ SHORT file name size mismatch")) return false;
  if (!read_name(posix_len, r->posix_name, "READ POSIX file name size mismatch")) return false;
  SetStatusField(ctx, IDC_STATUS, DisplayName(*r));

  if (resident_len != 0) {
    if (resident_len > kMaxSavedResidentLen) {
      ErrorBox(ctx, Terminating("READ resident data size mismatch"));
      return false;
    }
    if (!TakePart(ctx, in, resident_len, part, "READ resident data size mismatch")) return false;
    r->resident_data.assign(part.begin(), part.end());
    r->has_resident_data = true;
  }
  if (run_count != 0) {
    // Checked against what is left before anything is allocated for it.
    if (run_count > kMaxSavedRuns || in.left() / kRunEntrySize < run_count) {
      ErrorBox(ctx, Terminating("READ Run List size mismatch"));
      return false;
    }
    r->run_list.resize(run_count);
    for (RUN_ENTRY& e : r->run_list) {
      // A file read as it goes can still end early.
      if (!TakePart(ctx, in, kRunEntrySize, part, "READ Run List size mismatch")) return false;
      RunEntryFromBytes(part, e);
    }
  }
  if (file_count != 0 && !ReadFileBlocks(ctx, in, *r, file_count)) {
    // Its files are on the pending-file list, which frees them; the record goes.
    r->files_head = r->files_tail = nullptr;
    r->file_count = 0;
    return false;
  }
  AppendPendingDir(ctx, r.release());
  return true;
}

// Whether the records can be placed in one pass in file order: each one's
// parent is Root, an earlier record, or a number no record has (it then goes
// under "Unlinked Data", as the linking would put it). A save writes its
// tree in that order; a file that lists its records otherwise is linked by
// number.
bool PlaceableInFileOrder(const std::vector<INODE_RECD*>& recs) {
  NumberTable<bool> all, earlier;
  all.Reserve(recs.size());
  earlier.Reserve(recs.size());
  for (const INODE_RECD* r : recs) all.TryEmplace(r->own_number, true);
  for (const INODE_RECD* r : recs) {
    const std::uint64_t p = r->parent_number;
    // 0 is the synthetic nodes' number: which of them the linking finds depends on their places.
    if (p == 0 || (p != kRootNumber && all.Find(p) && !earlier.Find(p))) return false;
    earlier.TryEmplace(r->own_number, true);
  }
  return true;
}

bool IsOrphanFilesRecord(const INODE_RECD& r) {
  return (r.record_flags & kRecSynthetic) && r.own_number == 0 && r.posix_name && *r.posix_name == "Orphan Files";
}

// Places the records in file order, each as the last child of its parent:
// the tree that was saved, its sibling order included. "Unlinked Data" is
// made where its first child comes; an NTFS scan always has it (its linking
// makes it first, then sorts Root's linked children around it and appends
// "Orphan Files"), so there it is also made, empty, where that left it.
void PlaceInFileOrder(AppContext& ctx, const std::vector<INODE_RECD*>& recs, bool unlinked_always) {
  TreeItem* root = TreeView_GetRoot(ctx.dir_tree);
  // The first item of each number: the file's order is the saved tree's
  // pre-order, in which the save numbered the directories.
  NumberTable<TreeItem*> first;
  first.Reserve(recs.size() + 1);
  first.TryEmplace(kRootNumber, root);
  TreeItem* unlinked = nullptr;
  bool unlinked_made = false;
  auto unlinked_node = [&] {
    if (!unlinked_made) unlinked = InsertUnlinkedNode(ctx);
    unlinked_made = true;
    return unlinked;
  };
  const std::string unlinked_name = "Unlinked Data";
  for (INODE_RECD* r : recs) {
    r->link_state = kLinkFinal;
    TreeItem* parent = nullptr;
    if (r->parent_number == kRootNumber) {
      if (unlinked_always && !unlinked_made &&
          (IsOrphanFilesRecord(*r) || TreeView_CompareText(DisplayName(*r).c_str(), unlinked_name) >= 0))
        unlinked_node();
      parent = root;
    } else if (TreeItem* const* p = first.Find(r->parent_number)) {
      parent = *p;
    } else {
      parent = unlinked_node();
    }
    TreeItem* item = parent ? InsertTreeRecord(ctx, r, parent, TreeInsert::Last) : nullptr;
    if (item) first.TryEmplace(r->own_number, item);
  }
  if (unlinked_always) unlinked_node();
}

// Rebuilds the tree below a fresh Root from the loaded records.
void PlaceLoadedDirs(AppContext& ctx, const std::vector<INODE_RECD*>& recs, bool unlinked_always) {
  if (PlaceableInFileOrder(recs)) {
    PlaceInFileOrder(ctx, recs, unlinked_always);
    return;
  }
  LinkPendingDirs(ctx);
  if (unlinked_always) return;
  // A FAT scan has no "Unlinked Data": the linking's goes again when nothing went under it.
  TreeItem* root = TreeView_GetRoot(ctx.dir_tree);
  for (TreeItem* c = root ? root->first_child : nullptr; c; c = c->next_sibling) {
    if (!IsUnlinkedNode(c, root) || c->first_child) continue;
    auto* node = static_cast<INODE_RECD*>(c->data);
    TreeView_DeleteItem(ctx.dir_tree, c);
    ReleaseRecord(node);
    break;
  }
}

}  // namespace

// ---- SaveSink / SavedReader ---------------------------------------------------------

bool SaveSink::Fail() {
  failed_ = true;
  error_ = errno;
  return false;
}

bool SaveSink::PutPastBuffer(std::span<const std::uint8_t> bytes, const char* part) {
  if (failed_) return false;
  part_ = part;
  if (buffer_.size() + bytes.size() > kBufferSize && !Flush()) return false;
  if (bytes.size() >= kBufferSize) {
    if (!WriteAll(fd_, bytes)) return Fail();
    flushed_ += bytes.size();
    return true;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return true;
}

bool SaveSink::Patch(std::uint64_t at, std::span<const std::uint8_t> bytes, const char* part) {
  if (failed_) return false;
  part_ = part;
  if (at > Offset() || Offset() - at < bytes.size()) {
    errno = EINVAL;
    return Fail();
  }
  // The part already written goes over the file; the rest is still in the buffer.
  for (std::size_t done = 0; done < bytes.size() && at + done < flushed_;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size() - done, flushed_ - at - done));
    const ssize_t w = ::pwrite(fd_, bytes.data() + done, n, static_cast<off_t>(at + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return Fail();
    done += static_cast<std::size_t>(w);
  }
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (at + i >= flushed_) buffer_[static_cast<std::size_t>(at + i - flushed_)] = bytes[i];
  return true;
}

bool SaveSink::Flush() {
  if (failed_) return false;
  if (buffer_.empty()) return true;
  if (!WriteAll(fd_, buffer_)) return Fail();
  // Start writing these bytes to the disk now, while the rest is made: the
  // fsync at the end then waits for little. Advice only: a failure changes nothing.
  ::sync_file_range(fd_, static_cast<off_t>(flushed_), static_cast<off_t>(buffer_.size()), SYNC_FILE_RANGE_WRITE);
  flushed_ += buffer_.size();
  buffer_.clear();
  return true;
}

std::string SaveSink::FailureText() const {
  std::string text = std::string("Error on ") + part_;
  // The file parts' messages name the part after the verb; the records' before it.
  const bool records = !std::strcmp(part_, "SCAN_INFO") || !std::strcmp(part_, "PHYDRIVE_INFO") ||
                       !std::strcmp(part_, "LOGDRIVE_INFO") || !std::strcmp(part_, "INODE") ||
                       !std::strcmp(part_, "FILE INODE");
  text += records ? " WRITE system error. Terminating." : " system error. Terminating.";
  if (error_ != 0) text += std::string("\n") + std::strerror(error_);
  return text;
}

bool SavedReader::TakeFilled(std::size_t n, std::span<const std::uint8_t>& out) {
  if (n > left() || !Fill(n)) {
    out = {};
    return false;
  }
  out = bytes_.subspan(pos_, n);
  pos_ += n;
  taken_ += n;
  return true;
}

bool SavedReader::Fill(std::size_t n) {
  if (fd_ < 0 || error_ != 0) return false;
  constexpr std::size_t kChunk = 256u << 10;
  // The unread bytes move to the front; then the buffer holds n or a chunk,
  // whichever is more, but never more than the file has left.
  const std::size_t have = bytes_.size() - pos_;
  if (have != 0) std::memmove(buffer_.data(), bytes_.data() + pos_, have);
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(std::max(n, kChunk), left()));
  if (buffer_.size() < want) buffer_.resize(want);
  std::size_t filled = have;
  while (filled < want) {
    const ssize_t got = ::read(fd_, buffer_.data() + filled, want - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error_ = errno;
    if (got <= 0) break;  // shorter than it was: the parts will say where it ends
    filled += static_cast<std::size_t>(got);
  }
  bytes_ = std::span<const std::uint8_t>(buffer_.data(), filled);
  pos_ = 0;
  return filled >= n;
}

// ---- Save --------------------------------------------------------------------------

int WriteFileBlocks(SaveSink& out, const INODE_RECD& dir) {
  std::uint64_t written = 0;
  return PutFileBlocks(out, dir, written) ? 1 : 0;
}

int SaveScanInto(AppContext& ctx, const PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& vol, const OutputDir& dir) {
  TreeItem* root_item = ctx.dir_tree ? TreeView_GetRoot(ctx.dir_tree) : nullptr;
  if (!root_item) {
    ErrorBox(ctx, "Could not load ROOT directory. Terminating.");
    return 0;
  }
  const INODE_RECD* root = GetItemRecord(ctx, root_item);
  if (!root) {
    ErrorBox(ctx, "Could not mount ROOT directory. Terminating.");
    return 0;
  }
  const std::vector<SavedDir> dirs = CollectDirs(root_item);

  std::string temp_name;
  const int fd = CreateTempFile(dir, temp_name);
  if (fd < 0) {
    ErrorBox(ctx, std::string("Could not create ") + kSavedScanName + ": " + std::strerror(errno) + ". Terminating.");
    return 0;
  }
  SaveSink out(fd);
  std::array<std::uint8_t, kScanInfoSize> info{};
  le::Write<std::uint64_t>(std::span<std::uint8_t>(info), 0, dirs.size());
  le::Write<std::uint64_t>(std::span<std::uint8_t>(info), 8, ListedFiles(*root));
  bool ok = out.Put(info, "SCAN_INFO") && out.Put(PhyDriveToBytes(drive), "PHYDRIVE_INFO") &&
            out.Put(LogDriveToBytes(vol), "LOGDRIVE_INFO");
  for (std::size_t i = 0; ok && i < dirs.size(); ++i) {
    // The name shown is the status line's: once in a while is enough to show progress.
    if ((i & 1023) == 0) SetStatusField(ctx, IDC_STATUS, DisplayName(*dirs[i].rec));
    ok = WriteDirBlock(out, dirs[i]);
  }
  ok = ok && WriteFileBlocks(out, *root) && out.Flush();
  int saved_errno = 0;
  if (ok && ::fsync(fd) != 0) saved_errno = errno;
  if (::close(fd) != 0 && saved_errno == 0) saved_errno = errno;
  if (ok && saved_errno == 0 && ::renameat(dir.fd(), temp_name.c_str(), dir.fd(), kSavedScanName) != 0)
    saved_errno = errno;
  if (!ok || saved_errno != 0) {
    ::unlinkat(dir.fd(), temp_name.c_str(), 0);  // the earlier save, if any, stays as it was
    ErrorBox(ctx, !ok ? out.FailureText()
                      : std::string("Error on ") + kSavedScanName + " WRITE system error. Terminating.\n" +
                            std::strerror(saved_errno));
    SetStatusField(ctx, IDC_STATUS, "Idle...");
    return 0;
  }
  SetStatusField(ctx, IDC_STATUS, "Idle...");
  return 1;
}

void SaveCurrentScan(AppContext& ctx) {
  if (ctx.scan_running || ctx.finder_copy_running) return;
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  if (!drive) {
    ErrorBox(ctx, "Scan is incomplete. Please choose a PHYSICAL drive.");
    return;
  }
  auto* vol = static_cast<LOGDRIVE_INFO*>(GetSelectedRowData(ctx.log_list));
  if (!vol) {
    ErrorBox(ctx, "Scan is incomplete. Please choose a LOGICAL drive.");
    return;
  }
  if (vol->dirs_found == 0) {
    ErrorBox(ctx, "Scan is incomplete! No folders have been found.");
    return;
  }
  const std::optional<std::string> folder = fe_ChooseFolder(ctx.main_dlg, "Choose Destination Folder");
  if (!folder) {
    ErrorBox(ctx, "Please choose a destination folder.");
    return;
  }
  const OutputDir dir = OutputDir::Open(*folder, false);
  if (!dir.ok()) {
    ErrorBox(ctx, "The folder " + *folder + " cannot be opened: " + std::strerror(errno) + ".");
    return;
  }
  SaveScanInto(ctx, *drive, *vol, dir);
}

// ---- Load --------------------------------------------------------------------------

int ReadFileBlocks(AppContext& ctx, SavedReader& in, INODE_RECD& dir, std::uint64_t count) {
  dir.files_head = dir.files_tail = nullptr;
  dir.file_count = 0;
  std::span<const std::uint8_t> part;
  // Each block takes at least its 68 bytes, so the walk ends with the file.
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!TakePart(ctx, in, kFileInodeSize, part, "FILE INODE READ size mismatch")) return 0;
    // From the context's blocks: a load makes every file at once, and frees them at once.
    FILE_INODE* f = NewBlockFileInode(ctx);
    if (!f) {
      ErrorBox(ctx, Terminating("file list memory allocation"));
      return 0;
    }
    FileInodeFromBytes(part, *f);
    const std::uint32_t name_size = f->name_size;
    // A slot left unused stays in its block, which the next release frees.
    if (name_size > kMaxSavedNameLen + 1) {
      ErrorBox(ctx, Terminating("READ FILE INODE size mismatch"));
      return 0;
    }
    if (name_size != 0 && !TakePart(ctx, in, name_size, part, "READ FILE INODE size mismatch")) return 0;
    if (name_size != 0) {
      // A C string: the NUL and what follows it are not the name.
      const char* name = reinterpret_cast<const char*>(part.data());
      f->name.assign(name, strnlen(name, part.size()));
    }
    f->name_size = static_cast<std::uint32_t>(f->name.size() + 1);
    f->next_in_dir = f->next_pending_file = nullptr;
    AppendPendingFile(ctx, f);
    AppendFileToDir(dir, f);
    if ((i & 1023) == 0) SetStatusField(ctx, IDC_STATUS, f->name);
  }
  return 1;
}

int FindSavedDrive(AppContext& ctx, const PHYDRIVE_INFO& saved) {
  const int rows = ListView_GetItemCount(ctx.phy_list);
  for (int row = 0; row < rows; ++row) {
    const auto* d = static_cast<const PHYDRIVE_INFO*>(GetRowData(ctx.phy_list, row));
    if (!d || std::memcmp(d->model, saved.model, 40) != 0 || std::memcmp(d->serial, saved.serial, 20) != 0 ||
        std::memcmp(d->firmware, saved.firmware, 8) != 0 || d->total_sectors != saved.total_sectors)
      continue;
    for (int other = 0; other < rows; ++other)
      if (other != row) ListView_SetItemState(ctx.phy_list, other, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(ctx.phy_list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    if (ListView_GetItemCount(ctx.log_list) != 0) ClearDriveState(ctx);
    ShowPhysicalDriveInfo(ctx);
    return 1;
  }
  return 0;
}

int AddSavedLogicalDrive(AppContext& ctx, LOGDRIVE_INFO* vol) {
  char text[64];
  std::snprintf(text, sizeof text, "%" PRId64, vol->start_lba);
  const int row = ListView_InsertItem(ctx.log_list, ListView_GetItemCount(ctx.log_list), text, 0, vol);
  if (row < 0) {
    ShowErrorBox("AddLOGDrive: InsertItem FAILED for LBA (%" PRId64 ")", vol->start_lba);
    return 0;
  }
  char fs[9] = {};
  std::memcpy(fs, vol->fs_name, 8);  // 8 bytes, not terminated
  ListView_SetItemText(ctx.log_list, row, 1, std::string(fs) + " (SAVED)");
  std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(vol->total_sectors) / 2097152.0);
  ListView_SetItemText(ctx.log_list, row, 2, text);
  ListView_SetItemState(ctx.log_list, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  return 1;
}

std::string SavedVolumeMisfit(AppContext& ctx, PHYDRIVE_INFO& drive, const LOGDRIVE_INFO& v) {
  const std::uint64_t drive_sectors = drive.total_sectors;
  if (v.fs_type != kFsFat32 && v.fs_type != kFsNtfs) return "it is not a FAT32 or NTFS volume";
  if (v.bytes_per_sector != 512) return "its sector size is not 512";
  if (!PowerOfTwo(v.sectors_per_cluster) || v.sectors_per_cluster > 4096 ||
      v.bytes_per_cluster != v.sectors_per_cluster * 512u)
    return "its cluster size is not a valid one";
  if (v.start_lba < 0 || static_cast<std::uint64_t>(v.start_lba) >= drive_sectors) return "it starts past the drive";
  if (v.total_sectors <= 0 || v.cluster_count <= 0 ||
      static_cast<std::uint64_t>(v.cluster_count) >
          static_cast<std::uint64_t>(v.total_sectors) / v.sectors_per_cluster + 1)
    return "its size or cluster count is not a valid one";
  const auto start = static_cast<std::uint64_t>(v.start_lba);
  const std::uint64_t end = start + static_cast<std::uint64_t>(v.total_sectors);
  auto inside = [&](std::int64_t lba) { return lba >= 0 && static_cast<std::uint64_t>(lba) >= start && static_cast<std::uint64_t>(lba) < end; };
  if (v.fs_type == kFsFat32) {
    // The copy and verify load both FATs whole: fat_bytes is what they allocate.
    if (!inside(v.fat_lba) || !inside(v.data_lba) || v.fat_bytes < 8 || v.fat_sectors <= 0 ||
        v.fat_sectors > v.total_sectors ||
        static_cast<std::uint64_t>(v.fat_bytes) > static_cast<std::uint64_t>(v.fat_sectors) * 512u ||
        static_cast<std::uint64_t>(v.fat_bytes) > 4ull * 0x10000000u ||
        static_cast<std::uint64_t>(v.cluster_count) > 0x0FFFFFF5u)
      return "its FAT does not fit the volume";
  } else {
    if (!inside(v.mft_lba) || !PowerOfTwo(v.mft_record_size) || v.mft_record_size < 512 ||
        v.mft_record_size > 65536)
      return "its MFT does not fit the volume";
  }
  // The boot record at the start, where one is there, must describe the same volume.
  std::array<std::uint8_t, kSectorSize> boot{};
  if (ReadSectors(ctx, drive, start, boot) == 1 && FsTypeFromBootRecord(boot) == v.fs_type) {
    const std::uint32_t spc = boot[0x0D];
    if (spc <= 128 && spc != v.sectors_per_cluster) return "the boot record at its start gives another cluster size";
    if (v.fs_type == kFsFat32 && static_cast<std::uint64_t>(v.fat_lba) != start + le::U16(boot, 0x0E))
      return "the boot record at its start places the FAT elsewhere";
  }
  return {};
}

namespace {

int LoadScanFrom(AppContext& ctx, SavedReader& in) {
  std::span<const std::uint8_t> part;
  if (!TakePart(ctx, in, kScanInfoSize, part, "SCAN_INFO READ size mismatch")) return 0;
  const std::uint64_t dir_count = le::U64(part, 0);
  const std::uint64_t root_count = le::U64(part, 8);
  if (!TakePart(ctx, in, kPhyDriveInfoSize, part, "PHYDRIVE_INFO READ size mismatch")) return 0;
  PHYDRIVE_INFO saved;
  PhyDriveFromBytes(part, saved);
  if (!FindSavedDrive(ctx, saved)) {
    ErrorBox(ctx, "Could not find matching physical drive for saved scan. Terminating.");
    return 0;
  }
  auto* drive = static_cast<PHYDRIVE_INFO*>(GetSelectedRowData(ctx.phy_list));
  if (!drive) {
    ErrorBox(ctx, "Could not mount physical drive for saved scan. Terminating.");
    return 0;
  }
  // The tree and lists of whatever was shown go now: the loaded scan replaces them.
  ResetScanTree(ctx);
  if (!TakePart(ctx, in, kLogDriveInfoSize, part, "LOGDRIVE_INFO READ size mismatch")) return 0;
  LOGDRIVE_INFO loaded;
  LogDriveFromBytes(part, loaded);
  loaded.fat1_table = loaded.fat2_table = nullptr;
  loaded.cluster_map = nullptr;
  loaded.oem_name[8] = loaded.fs_name[8] = '\0';
  if (const std::string why = SavedVolumeMisfit(ctx, *drive, loaded); !why.empty()) {
    ErrorBox(ctx, "The saved volume record does not fit the drive: " + why + ". Terminating.");
    return 0;
  }
  LOGDRIVE_INFO* vol = nullptr;
  try {
    vol = NewLogDrive();
  } catch (const std::bad_alloc&) {
    ErrorBox(ctx, "Could not allocate memory for logical drive mount. Terminating.");
    return 0;
  }
  *vol = loaded;
  const std::int64_t dirs_found = vol->dirs_found, files_found = vol->files_found;
  auto show_counts = [&] {
    SetStatusCount(ctx, IDC_T_DIRS, dirs_found > 0 ? static_cast<std::uint64_t>(dirs_found) : 0);
    SetStatusCount(ctx, IDC_T_FILES, files_found > 0 ? static_cast<std::uint64_t>(files_found) : 0);
  };
  show_counts();

  // Each block takes at least its record's bytes: the loop ends with the file.
  std::vector<INODE_RECD*> recs;
  // What the file's size allows, and never much up front: the size of a file
  // read as it goes is only what the system reported.
  recs.reserve(static_cast<std::size_t>(std::min<std::uint64_t>({dir_count, in.left() / kInodeRecdSize, 1u << 16})));
  for (std::uint64_t i = 0; i < dir_count; ++i) {
    if (!ReadDirBlock(ctx, in)) return 0;
    recs.push_back(ctx.pending_dir_tail);
  }

  // Root is made for the loaded volume; the scanned one (another record) keeps its counts.
  LOGDRIVE_INFO* scanned = ctx.scanned_logdrive;
  ctx.scanned_logdrive = nullptr;
  const int made = MakeRoot(ctx);
  ctx.scanned_logdrive = scanned;
  if (made) PlaceLoadedDirs(ctx, recs, vol->fs_type == kFsNtfs);
  int result = made;
  if (root_count != 0) {
    TreeItem* root_item = ctx.dir_tree ? TreeView_GetRoot(ctx.dir_tree) : nullptr;
    INODE_RECD* root = GetItemRecord(ctx, root_item);
    if (!root_item) {
      ErrorBox(ctx, "Could not load ROOT directory. Terminating.");
      result = 0;
    } else if (!root) {
      ErrorBox(ctx, "Could not mount ROOT directory. Terminating.");
      result = 0;
    } else if (!ReadFileBlocks(ctx, in, *root, root_count)) {
      result = 0;
    }
  }
  vol->dirs_found = dirs_found;
  vol->files_found = files_found;
  AddSavedLogicalDrive(ctx, vol);
  show_counts();
  if (result) SetStatusField(ctx, IDC_STATUS, "Idle...");
  return result;
}

}  // namespace

int LoadScanBytes(AppContext& ctx, std::span<const std::uint8_t> bytes) {
  SavedReader in(bytes);
  return LoadScanFrom(ctx, in);
}

int LoadScanFile(AppContext& ctx, const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    ErrorBox(ctx, "Error on SAVED file " + path + " open. Terminating." +
                      (fd < 0 ? std::string("\n") + std::strerror(err) : std::string()));
    return 0;
  }
  // Read as the parts are taken: a large file is never held whole.
  SavedReader in(fd, static_cast<std::uint64_t>(st.st_size));
  const int result = LoadScanFrom(ctx, in);
  ::close(fd);
  return result;
}

void LoadScan(AppContext& ctx) {
  if (ctx.scan_running || ctx.finder_copy_running) return;
  const std::optional<std::string> path = fe_ChooseOpenFile(ctx.main_dlg, "");
  if (!path) {
    ErrorBox(ctx, "Please choose a Save Scan.qsn.");
    return;
  }
  LoadScanFile(ctx, *path);
  ShowSelectedDirFiles(ctx);
}
