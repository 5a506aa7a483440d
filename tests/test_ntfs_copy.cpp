// The NTFS per-file copy against icat's bytes of every live file of the NTFS
// fixtures, LZNT1 on hand-made chunks, and damage: a unit that does not
// decompress, a run past the volume, an initialized size below the data
// size, a resident value past its attribute, a full disk, a short image.
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "app/main_window.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "ntfs/sysfiles.h"
#include "platform/bytes.h"
#include "platform/text.h"
#include "recover/copy_file.h"
#include "recover/lznt1.h"
#include "recover/ntfs_units.h"
#include "recover/output.h"
#include "res/ids.h"
#include "scan/tree.h"
#include "test_support.h"
#include "volume/logdrive.h"
#include "volume/mount.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- LZNT1 -------------------------------------------------------------------

Bytes Chunk(bool compressed, const Bytes& data) {
  const std::uint16_t h = static_cast<std::uint16_t>((compressed ? 0xB000 : 0x3000) | (data.size() - 1));
  Bytes out{static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8)};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// n literals (8 to a flag byte), then one back-reference whose displacement
// field has offset_bits bits.
Bytes LiteralsThenCopy(std::size_t n, unsigned offset_bits, std::size_t displacement, std::size_t length,
                       Bytes* expected) {
  Bytes data;
  expected->clear();
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 8 == 0) data.push_back(0);
    data.push_back(static_cast<std::uint8_t>('A' + i % 23));
    expected->push_back(data.back());
  }
  if (n % 8 == 0) data.push_back(0);
  data[data.size() - 1 - (n % 8)] |= static_cast<std::uint8_t>(1u << (n % 8));
  const std::uint16_t token =
      static_cast<std::uint16_t>(((displacement - 1) << (16 - offset_bits)) | (length - 3));
  data.push_back(static_cast<std::uint8_t>(token));
  data.push_back(static_cast<std::uint8_t>(token >> 8));
  // A back-reference before the start has no expected bytes (the input is malformed).
  for (std::size_t k = 0; k < length && displacement <= expected->size(); ++k) {
    const std::uint8_t byte = (*expected)[expected->size() - displacement];  // copied: push_back may move the bytes
    expected->push_back(byte);
  }
  return Chunk(true, data);
}

int Decompress(const Bytes& in, Bytes& out, std::size_t len = 65536) {
  out.assign(len, 0xEE);
  return DecompressLznt1(out, in, len);
}

}  // namespace

TEST(Lznt1, LiteralsAndBackReferencesAtEachDisplacementWidth) {
  Bytes out, expected;
  // Within a chunk, the displacement field widens as the position passes 16, 32, 64 ... 2048.
  const struct {
    std::size_t position;
    unsigned offset_bits;
  } cases[] = {{1, 4}, {16, 4}, {17, 5}, {32, 5}, {33, 6}, {1000, 10}, {2049, 12}, {3600, 12}};
  for (const auto& c : cases) {
    const Bytes in = LiteralsThenCopy(c.position, c.offset_bits, c.position, 10, &expected);
    ASSERT_EQ(Decompress(in, out), 1) << c.position;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << c.position;
  }
  // An overlapping copy repeats what it writes.
  const Bytes in = Chunk(true, {0x02, 'a', 0x10, 0x00});  // 'a', then 19 bytes from 1 back
  ASSERT_EQ(Decompress(in, out), 1);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 20), std::string(20, 'a'));
  EXPECT_EQ(out[20], 0xEE);
}

TEST(Lznt1, StoredChunksCopyTheLengthTheirHeaderGives) {
  Bytes stored(100);
  for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<std::uint8_t>(i + 1);
  Bytes in = Chunk(false, stored);
  const Bytes next = Chunk(true, {0x00, 'x', 'y'});
  in.insert(in.end(), next.begin(), next.end());
  Bytes out;
  ASSERT_EQ(Decompress(in, out), 1);
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), out.begin()));
  EXPECT_EQ(out[100], 'x');
  EXPECT_EQ(out[101], 'y');
  EXPECT_EQ(out[102], 0xEE);
}

TEST(Lznt1, EndsCleanlyAtAZeroHeaderTheInputsEndOrTheOutputLength) {
  Bytes out;
  EXPECT_EQ(Decompress({0x00, 0x00, 0xFF, 0xFF}, out), 1);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(Decompress(Chunk(true, {0x00, '1', '2', '3', '4', '5', '6', '7', '8'}), out, 5), 1);
  EXPECT_EQ(std::string(out.begin(), out.end()), "12345");
  EXPECT_EQ(Decompress({}, out), 1);
}

TEST(Lznt1, MalformedInputIsRefusedWithoutReadingPastIt) {
  Bytes out, expected;
  const Bytes whole = Chunk(true, {0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
  // A header claiming more bytes than follow, a lone header byte, a token cut in half.
  EXPECT_EQ(Decompress(Bytes(whole.begin(), whole.end() - 3), out), 0);
  EXPECT_EQ(Decompress({0x05}, out), 0);
  const Bytes cut = LiteralsThenCopy(4, 4, 2, 5, &expected);
  Bytes half(cut.begin(), cut.end() - 1);
  half[0] = static_cast<std::uint8_t>(half[0] - 1);  // the header's size follows the cut
  EXPECT_EQ(Decompress(half, out), 0);
  // A back-reference at the chunk's start, or reaching before it.
  EXPECT_EQ(Decompress(Chunk(true, {0x01, 0x00, 0x00}), out), 0);
  EXPECT_EQ(Decompress(LiteralsThenCopy(3, 4, 4, 5, &expected), out), 0);
  // A chunk growing past 4096 bytes: one literal and a copy of 4098.
  EXPECT_EQ(Decompress(Chunk(true, {0x02, 'z', 0xFF, 0x0F}), out), 0);
}

// ---- Copies of fixture files -------------------------------------------------------

namespace {

struct CopyFixture {
  const char* image;
  std::uint64_t start;
  const char* md5;   // "md5  inode  path" of files as icat reads them
  const char* fls;   // fls -r -p: which are deleted
};

const CopyFixture kDemo{"demo.img", 80325, "demo.md5-80325.txt", "demo.fls-80325.txt"};
const CopyFixture kCopy{"ntfs/ntfs_copy.img", 2048, "ntfs/ntfs_copy.md5.txt", "ntfs/ntfs_copy.fls.txt"};

constexpr std::uint64_t kCluster = 4096;
constexpr std::uint64_t kFarOffset = 4294979684;  // ntfs_copy.facts.txt
constexpr std::uint64_t kFarStep = 12582912;

std::string Pattern(std::size_t size, const std::string& seed) {
  const std::string line = "retrova ntfs fixture " + seed + "\n";
  std::string s;
  while (s.size() < size) s += line;
  s.resize(size);
  return s;
}

std::string Md5(const fs::path& p) {
  std::string cmd = "md5sum '" + p.string() + "'";
  FILE* f = ::popen(cmd.c_str(), "r");
  if (!f) return {};
  char buf[64] = {};
  const std::size_t n = std::fread(buf, 1, 32, f);
  ::pclose(f);
  return std::string(buf, n);
}

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Patch(const fs::path& p, std::uint64_t offset, const Bytes& bytes) {
  std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Le(std::uint64_t v, int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return b;
}

}  // namespace

class NtfsCopyTest : public RetrovaTest {
 protected:
  void OpenVolume(const fs::path& image, std::uint64_t start_lba) {
    image_ = image;
    start_ = start_lba;
    OpenMainWindow();
    ASSERT_EQ(AddImageFile(ctx(), image.string()), 1);
    const int row = ListView_GetItemCount(ctx().phy_list) - 1;
    drive_ = static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, row));
    ListView_SetItemState(ctx().phy_list, row, LVIS_SELECTED, LVIS_SELECTED);
    std::array<std::uint8_t, 512> boot{};
    ASSERT_EQ(ReadSectors(ctx(), *drive_, start_lba, boot), 1);
    vol_ = MountLogDrive(start_lba, boot);
    ASSERT_NE(vol_, nullptr);
    ListView_InsertItem(ctx().log_list, 0, "volume", 0, vol_);
    ListView_SetItemState(ctx().log_list, 0, LVIS_SELECTED, LVIS_SELECTED);
    PostCommand(ctx().main_dlg, IDM_FAST_LOGICAL);
    for (int guard = 0; guard < 100000 && DispatchNext(); ++guard) {
    }
    if (ctx().root_item) Collect(ctx().root_item, "");
    dest_ = TempDir() / "out";
  }
  // A private copy of a fixture, to damage after the scan.
  void OpenCopyOf(const CopyFixture& f) {
    const fs::path p = TempDir() / "crafted.img";
    fs::copy_file(Fixture(f.image), p, fs::copy_options::overwrite_existing);
    OpenVolume(p, f.start);
  }
  void TearDown() override {
    ResetScanTree(ctx());
    RetrovaTest::TearDown();
  }
  void Collect(const TreeItem* item, const std::string& path) {
    const INODE_RECD* r = GetItemRecord(ctx(), item);
    FILE_INODE* f = r->files_head;
    for (std::uint64_t i = 0; i < r->file_count && f; ++i, f = f->next_in_dir) {
      // An extension record holding a file's $FILE_NAME is listed too, with
      // no data: the base record is the file.
      FILE_INODE*& slot = files_[path + Latin1ToUtf8(f->name)];
      if (!slot || slot->data_size < f->data_size) slot = f;
    }
    for (const TreeItem* ch = item->first_child; ch; ch = ch->next_sibling) {
      const INODE_RECD* cr = GetItemRecord(ctx(), ch);
      Collect(ch, path + Latin1ToUtf8(cr->posix_name.value_or(cr->short_name.value_or(""))) + "/");
    }
  }
  FILE_INODE& File(const std::string& path) {
    EXPECT_TRUE(files_.count(path)) << path;
    return *files_.at(path);
  }
  CopyResult Copy(FILE_INODE& f, int* rc = nullptr) {
    const OutputDir dir = OutputDir::Open(dest_.string(), true);
    CopyResult r;
    const int got = CopyNtfsFile(ctx(), *drive_, *vol_, f, dir, r);
    if (rc) *rc = got;
    return r;
  }
  NtfsFileData Data(const FILE_INODE& f) {
    std::optional<NtfsFileData> d = ReadNtfsFileData(ctx(), *drive_, *vol_, f);
    EXPECT_TRUE(d);
    return d ? *d : NtfsFileData{};
  }
  std::uint64_t ClusterOffset(std::uint64_t lcn) const { return (start_ * 512) + lcn * vol_->bytes_per_cluster; }
  // The unnamed $DATA attribute of the file's record, as an offset in the image.
  std::uint64_t DataAttribute(const FILE_INODE& f) {
    std::ifstream in(image_, std::ios::binary);
    Bytes rec(1024);
    in.seekg(static_cast<std::streamoff>(f.record_lba * 512));
    in.read(reinterpret_cast<char*>(rec.data()), 1024);
    for (std::size_t o = le::U16(rec, 20); o + 16 <= rec.size();) {
      const std::uint32_t t = le::U32(rec, o), len = le::U32(rec, o + 4);
      if (t == 0xFFFFFFFF || len == 0) break;
      if (t == 0x80 && rec[o + 9] == 0) return f.record_lba * 512 + o;
      o += len;
    }
    ADD_FAILURE() << "no $DATA in " << f.name;
    return 0;
  }

  fs::path image_, dest_;
  std::uint64_t start_ = 0;
  PHYDRIVE_INFO* drive_ = nullptr;
  LOGDRIVE_INFO* vol_ = nullptr;
  std::map<std::string, FILE_INODE*> files_;
};

class NtfsCopyFixtureTest : public NtfsCopyTest, public ::testing::WithParamInterface<CopyFixture> {};

TEST_P(NtfsCopyFixtureTest, EveryLiveFileComesOutAsIcatReadsIt) {
  const CopyFixture& fx = GetParam();
  OpenVolume(Fixture(fx.image), fx.start);
  std::set<std::string> deleted;
  {
    std::istringstream fls(FixtureText(fx.fls));
    for (std::string line; std::getline(fls, line);)
      if (line.find(" * ") != std::string::npos) deleted.insert(line.substr(line.find('\t') + 1));
  }
  std::istringstream md5s(FixtureText(fx.md5));
  int copied = 0;
  for (std::string line; std::getline(md5s, line);) {
    const std::string md5 = line.substr(0, 32);
    const std::string path = line.substr(line.find("  ", 34) + 2);
    if (deleted.count(path) || path.find(':') != std::string::npos) continue;  // named streams aside
    if (path == "Sparse/Far data.bin") continue;
    if (path.starts_with("Fill/")) continue;  // names only in the POSIX namespace: no scan lists them  // 4 GiB: FarDataPast4GiB checks it byte by byte
    SCOPED_TRACE(path);
    FILE_INODE& f = File(path);
    ctx().files_done = static_cast<std::uint64_t>(copied);
    int rc = -1;
    const CopyResult r = Copy(f, &rc);
    EXPECT_EQ(rc, 1);
    if (path.find('/') == std::string::npos && IsSystemFileName(path)) {
      EXPECT_EQ(r.outcome, CopyOutcome::Skipped);
      EXPECT_TRUE(r.output_name.empty());
      continue;
    }
    ASSERT_EQ(r.outcome, CopyOutcome::Copied);
    EXPECT_EQ(r.bytes, f.data_size);
    EXPECT_EQ(Md5(dest_ / r.output_name), md5);
    ++copied;
  }
  EXPECT_GT(copied, 2);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsCopyFixtureTest, ::testing::Values(kDemo, kCopy),
                         [](const auto& info) { return info.index == 0 ? std::string("demo") : std::string("ntfs_copy"); });

TEST_F(NtfsCopyTest, FarDataPast4GiBIsWrittenWithItsHolesAndReadThroughTheAttributeList) {
  OpenVolume(Fixture(kCopy.image), kCopy.start);
  FILE_INODE& f = File("Sparse/Far data.bin");
  const CopyResult r = Copy(f);
  ASSERT_EQ(r.outcome, CopyOutcome::Copied);
  const fs::path out = dest_ / r.output_name;
  ASSERT_EQ(fs::file_size(out), kFarOffset + 20000);
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  ASSERT_LT(st.st_blocks * 512, 64 << 20) << "the holes were written out";
  std::map<std::uint64_t, std::string> expected;
  for (std::uint64_t k = 0; k * kFarStep <= kFarOffset; ++k) expected[k * kFarStep] = Pattern(64, "far " + std::to_string(k));
  expected[kFarOffset] = Pattern(20000, "far");
  // Only the written stretches hold data; each must be the pattern where one
  // was written and zeros elsewhere.
  std::ifstream in(out, std::ios::binary);
  std::string block;
  std::uint64_t checked = 0;
  const int fd = ::open(out.c_str(), O_RDONLY);
  for (off_t at = 0;;) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) break;
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    block.resize(static_cast<std::size_t>(hole - data));
    in.seekg(data);
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    for (std::size_t i = 0; i < block.size();) {
      const std::uint64_t pos = static_cast<std::uint64_t>(data) + i;
      const auto it = expected.find(pos);
      if (it != expected.end()) {
        ASSERT_EQ(block.compare(i, it->second.size(), it->second), 0) << pos;
        i += it->second.size();
        ++checked;
      } else {
        ASSERT_EQ(block[i], 0) << pos;
        ++i;
      }
    }
    at = hole;
  }
  ::close(fd);
  EXPECT_EQ(checked, expected.size());
}

TEST_F(NtfsCopyTest, VerifyWalkPassesDataPiecesOnlyAndCopyStopsOnTerminate) {
  OpenVolume(Fixture(kCopy.image), kCopy.start);
  std::uint64_t pieces = 0, clusters = 0;
  const auto count = [&](std::uint64_t lcn, std::uint64_t n) {
    EXPECT_LT(lcn + n, static_cast<std::uint64_t>(vol_->cluster_count) + 1);
    ++pieces;
    clusters += n;
    return true;
  };
  // Data of 64 bytes every 12 MiB, 20000 bytes at the end: one cluster
  // each, five or six at the end; the holes between give nothing.
  ASSERT_TRUE(VerifyNtfsFileUnits(ctx(), *drive_, *vol_, File("Sparse/Far data.bin"), count));
  EXPECT_EQ(clusters, kFarOffset / kFarStep + 1 + 5);
  pieces = clusters = 0;
  ASSERT_TRUE(VerifyNtfsFileUnits(ctx(), *drive_, *vol_, File("Sparse/Hole at end.bin"), count));
  EXPECT_EQ(clusters, 6u);
  pieces = clusters = 0;
  ASSERT_TRUE(VerifyNtfsFileUnits(ctx(), *drive_, *vol_, File("Resident.txt"), count));
  EXPECT_EQ(pieces, 0u);
  FILE_INODE lost = File("Resident.txt");
  lost.record_lba = 40;  // no record there
  EXPECT_FALSE(VerifyNtfsFileUnits(ctx(), *drive_, *vol_, lost, count));

  ctx().progress_bar2 = ctx().progress_bar;
  PostCommand(ctx().main_dlg, IDM_TERMINATE_SCAN);
  int rc = -1;
  const CopyResult r = Copy(File("Fragmented.bin"), &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.outcome, CopyOutcome::Stopped);
  EXPECT_EQ(r.bytes, 16 * kCluster);  // the first unit
  EXPECT_EQ(ctx().progress_bar->pos, 0);
  EXPECT_EQ(ctx().progress_bar->bar_colour, RGB(253, 95, 53));
}

TEST_F(NtfsCopyTest, AUnitThatDoesNotDecompressFailsTheFileButIsWritten) {
  OpenCopyOf(kCopy);
  FILE_INODE& f = File("Compressed/Text.txt");
  const NtfsFileData d = Data(f);
  ASSERT_TRUE(d.compressed);
  ASSERT_FALSE(d.runs.empty());
  // A compressed chunk whose first token is a back-reference.
  Patch(image_, ClusterOffset(d.runs[0].lcn), {0x02, 0xB0, 0x01, 0x00, 0x00});
  int rc = -1;
  const CopyResult r = Copy(f, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.outcome, CopyOutcome::Failed);
  EXPECT_EQ(fs::file_size(dest_ / r.output_name), f.data_size);
  // The other units still decompress.
  const Bytes out = ReadAll(dest_ / r.output_name);
  const std::string text = Pattern(static_cast<std::size_t>(f.data_size), "Compressed/Text.txt");
  EXPECT_EQ(std::string(out.begin() + 16 * kCluster, out.end()), text.substr(16 * kCluster));
}

TEST_F(NtfsCopyTest, ARunPastTheVolumeReadsNothingBeyondIt) {
  OpenCopyOf(kCopy);
  // Another volume's bytes right after this one.
  {
    std::ofstream more(image_, std::ios::binary | std::ios::app);
    const std::string foreign(1 << 20, '\xAB');
    more.write(foreign.data(), static_cast<std::streamsize>(foreign.size()));
  }
  FILE_INODE& f = File("Plain 20 clusters.bin");
  const std::uint64_t attr = DataAttribute(f);
  ASSERT_NE(attr, 0u);
  const Bytes head = [&] {
    std::ifstream in(image_, std::ios::binary);
    Bytes b(72);
    in.seekg(static_cast<std::streamoff>(attr));
    in.read(reinterpret_cast<char*>(b.data()), 72);
    return b;
  }();
  const std::uint64_t pairs = attr + le::U16(head, 32);
  ASSERT_GE(le::U32(head, 4), le::U16(head, 32) + 5u);
  const std::uint64_t last = static_cast<std::uint64_t>(vol_->cluster_count);
  // 20 clusters from four before the end.
  Patch(image_, pairs, {0x21, 20, static_cast<std::uint8_t>(last - 4), static_cast<std::uint8_t>((last - 4) >> 8), 0x00});
  const Bytes tail = [&] {
    std::ifstream in(image_, std::ios::binary);
    Bytes b(4 * kCluster);
    in.seekg(static_cast<std::streamoff>(ClusterOffset(last - 4)));
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return b;
  }();
  int rc = -1;
  const CopyResult r = Copy(f, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.outcome, CopyOutcome::Failed);
  const Bytes out = ReadAll(dest_ / r.output_name);
  ASSERT_EQ(out.size(), f.data_size);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), out.begin()));
  EXPECT_TRUE(std::all_of(out.begin() + 4 * kCluster, out.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(NtfsCopyTest, BytesPastTheInitializedSizeAreZeros) {
  OpenCopyOf(kCopy);
  FILE_INODE& f = File("Plain 20 clusters.bin");
  Patch(image_, DataAttribute(f) + 56, Le(5000, 8));
  const CopyResult r = Copy(f);
  EXPECT_EQ(r.outcome, CopyOutcome::Copied);
  const Bytes out = ReadAll(dest_ / r.output_name);
  ASSERT_EQ(out.size(), f.data_size);
  const std::string text = Pattern(5000, "Plain 20 clusters.bin");
  EXPECT_EQ(std::string(out.begin(), out.begin() + 5000), text);
  EXPECT_TRUE(std::all_of(out.begin() + 5000, out.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(NtfsCopyTest, AResidentValuePastItsAttributeIsTakenOnlyAsFarAsTheAttribute) {
  OpenCopyOf(kCopy);
  FILE_INODE& f = File("Resident.txt");
  const std::uint64_t attr = DataAttribute(f);
  Patch(image_, attr + 16, Le(100000, 4));
  const CopyResult r = Copy(f);
  EXPECT_EQ(r.outcome, CopyOutcome::Failed);
  const Bytes out = ReadAll(dest_ / r.output_name);
  ASSERT_GE(out.size(), 300u);
  EXPECT_LT(out.size(), 1024u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 300), Pattern(300, "Resident.txt"));
}

TEST_F(NtfsCopyTest, AFullDiskOrAShortImageFailsTheFile) {
  OpenCopyOf(kCopy);
  FILE_INODE& f = File("Plain 20 clusters.bin");
  {
    // A disk that takes 30000 bytes of this file.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 30000;
    ::setrlimit(RLIMIT_FSIZE, &small);
    int rc = -1;
    const CopyResult r = Copy(f, &rc);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(r.outcome, CopyOutcome::Failed);
  }
  // The image ends inside the file's clusters: they read as zeros, counted as errors.
  const NtfsFileData d = Data(f);
  ASSERT_FALSE(d.runs.empty());
  const std::uint64_t cut = ClusterOffset(d.runs[0].lcn) + kCluster;
  ASSERT_LT(f.record_lba * 512 + 1024, cut);
  fs::resize_file(image_, cut);
  const CopyResult r = Copy(f);
  EXPECT_EQ(r.outcome, CopyOutcome::Failed);
  EXPECT_EQ(r.bytes, f.data_size);
}
