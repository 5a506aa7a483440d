// The records of a scan tree: one INODE_RECD per directory, one FILE_INODE
// per file, and the Run List of non-resident NTFS data.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

inline constexpr std::size_t kInodeRecdSize = 976;
inline constexpr std::size_t kFileInodeSize = 68;
inline constexpr std::size_t kRunEntrySize = 32;

// record_flags bits
inline constexpr std::uint32_t kRecInUse = 0x1;
inline constexpr std::uint32_t kRecDirectory = 0x2;
inline constexpr std::uint32_t kRecSynthetic = 0x4;

// link_state values
inline constexpr std::uint32_t kLinkMade = 0;
inline constexpr std::uint32_t kLinkFinal = 2;
inline constexpr std::uint32_t kLinkPlaced = 3;

// mark_state values
inline constexpr std::uint32_t kMarkNone = 0;
inline constexpr std::uint32_t kMarkMarked = 1;
inline constexpr std::uint32_t kMarkUnmarked = 2;

inline constexpr std::uint64_t kRootNumber = 5;
inline constexpr std::uint64_t kNoParent = ~0ULL;

struct RUN_ENTRY {
  std::uint64_t start_vcn = 0;
  std::uint64_t lcn = 0;        // absolute cluster of the run
  std::int64_t lcn_delta = 0;   // as stored in the mapping pair; 0 marks a sparse run
  std::uint64_t length = 0;     // clusters
};

struct FILE_INODE;

struct INODE_RECD {
  std::optional<std::string> posix_name;  // long name, single-byte characters
  std::optional<std::string> short_name;  // DOS-namespace name
  std::vector<std::uint8_t> resident_data;
  bool has_resident_data = false;
  std::uint32_t link_state = kLinkMade;
  std::uint32_t record_flags = 0;
  std::uint16_t fat_date = 0;
  std::uint16_t fat_time = 0;
  std::uint32_t data_nonresident = 0;
  std::uint64_t file_count = 0;
  std::uint64_t record_lba = 0;
  std::uint64_t data_size = 0;
  std::uint64_t own_number = 0;
  std::uint64_t parent_number = 0;
  std::uint64_t header_record_number = 0;
  std::uint64_t data_size_kb = 0;
  std::uint64_t write_time = 0;
  std::vector<RUN_ENTRY> run_list;
  FILE_INODE* files_tail = nullptr;
  FILE_INODE* files_head = nullptr;
  INODE_RECD* next_pending = nullptr;
  // Not stored: the record and its file list belong to the tree item that
  // carries it (the FAT scans), not to a pending list.
  bool tree_owned = false;
};

struct FILE_INODE {
  std::string name;  // empty: no name
  std::uint16_t fat_date = 0;
  std::uint16_t fat_time = 0;
  std::uint32_t name_size = 0;  // name length + 1
  std::uint32_t mark_state = kMarkNone;
  std::uint32_t record_flags = 0;
  std::uint32_t verify_result = 0;
  std::uint32_t own_number = 0;  // low 32 bits of the directory record's number
  std::uint64_t write_time = 0;
  std::uint64_t data_size = 0;
  std::uint64_t record_lba = 0;
  std::uint64_t parent_number = 0;
  FILE_INODE* next_in_dir = nullptr;
  FILE_INODE* next_pending_file = nullptr;
  // Not stored: on the pending-file list, which owns it (releasing the list
  // unlinks such files from the directories instead of looking each one up).
  bool pending = false;
  // Not stored: a slot of one of the context's file blocks, freed with its
  // block rather than on its own.
  bool in_block = false;
};

inline std::uint32_t PosixNameLen(const INODE_RECD& r) { return r.posix_name ? static_cast<std::uint32_t>(r.posix_name->size()) : 0; }
inline std::uint32_t ShortNameLen(const INODE_RECD& r) { return r.short_name ? static_cast<std::uint32_t>(r.short_name->size()) : 0; }

// Stored images: little-endian at fixed offsets, pointer slots zero. The
// readers fill only the scalar fields (names and lists are stored apart).
std::array<std::uint8_t, kInodeRecdSize> InodeRecdToBytes(const INODE_RECD& r);
bool InodeRecdFromBytes(std::span<const std::uint8_t> bytes, INODE_RECD& r, std::uint32_t* posix_len,
                        std::uint32_t* short_len, std::uint32_t* resident_len, std::uint32_t* run_count);
std::array<std::uint8_t, kFileInodeSize> FileInodeToBytes(const FILE_INODE& f);
bool FileInodeFromBytes(std::span<const std::uint8_t> bytes, FILE_INODE& f);
std::array<std::uint8_t, kRunEntrySize> RunEntryToBytes(const RUN_ENTRY& e);
bool RunEntryFromBytes(std::span<const std::uint8_t> bytes, RUN_ENTRY& e);

// Frees a record made by a decoder or a scan.
void ReleaseRecord(INODE_RECD* r);
