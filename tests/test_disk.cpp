// Physical drives and image files as drives: the stored record, enumeration,
// identity decoding, sector reads with unreadable sectors, writes, images.
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "app/shell.h"
#include "app/context.h"
#include "app/main_window.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/frontend.h"
#include "platform/sweep_view.h"
#include "platform/sysio.h"
#include "res/ids.h"
#include "res/resources.h"
#include "test_support.h"

namespace {

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(1 + (i * 7 + i / 512) % 251);
  return v;
}

std::uint64_t LE(const std::array<std::uint8_t, kPhyDriveInfoSize>& b, std::size_t off, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(b[off + i]) << (8 * i);
  return v;
}

bool AllZero(std::span<const std::uint8_t> s) {
  return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; });
}

// Fault hooks: the ranges the tests treat as bad media.
std::uint64_t g_bad_begin = 0, g_bad_end = 0;
ReadFault FailBadRange(DevHandle, std::uint64_t offset, std::size_t length) {
  ReadFault f;
  f.fail = offset < g_bad_end && offset + length > g_bad_begin;
  return f;
}
ReadFault ShortAtSector1(DevHandle, std::uint64_t offset, std::size_t length) {
  ReadFault f;
  if (offset <= 512 && offset + length > 512) f.max_bytes = 512 - offset + 100;
  return f;
}
ReadFault RefuseAll(DevHandle, std::uint64_t, std::size_t) {
  ReadFault f;
  f.refuse_position = true;
  return f;
}

class DiskTest : public RetrovaTest {
 protected:
  PHYDRIVE_INFO* Row(int row) { return static_cast<PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, row)); }
  std::string RowText(int row, int col) { return ListView_GetItemText(ctx().phy_list, row, col); }
  std::string RdErr() { return GetDlgItemText(ctx().main_dlg, IDC_RD_ERR); }
  PHYDRIVE_INFO* AddImage(const std::filesystem::path& p) {
    int rows = ListView_GetItemCount(ctx().phy_list);
    EXPECT_EQ(AddImageFile(ctx(), p.string()), 1);
    return Row(rows);
  }
  static void ExpectErrorBox(std::size_t i, const std::string& text, const std::string& title = "** Error **") {
    ASSERT_GT(headless::Boxes().size(), i);
    EXPECT_EQ(headless::Boxes()[i].text, text);
    EXPECT_EQ(headless::Boxes()[i].title, title);
    EXPECT_EQ(headless::Boxes()[i].icon, MB_ICONSTOP);
  }
  void AddSysfsDisk(const std::string& name, std::uint64_t dev_size, bool with_node = true) {
    std::filesystem::create_directories(TempDir() / "sysfs" / name);
    std::ofstream(TempDir() / "sysfs" / name / "size") << dev_size / 512 << "\n";
    if (with_node) MakeSparseFile("dev/" + name, dev_size);
  }
};

TEST_F(DiskTest, RecordImagePutsEveryFieldAtItsOffset) {
  PHYDRIVE_INFO d;
  std::strcpy(d.name, "Phy ID 3");
  std::memset(d.model, 'M', 40);
  std::memset(d.serial, 'S', 20);
  std::memset(d.firmware, 'F', 8);
  d.drive_number = 0x11223344;
  d.spare = 0x55667788;
  d.size_mb = -2;
  d.read_errors = 0x0102030405060708;
  d.heads = 0x1112131415161718;
  d.sectors_per_track = 0x2122232425262728;
  d.cylinders = 0x3132333435363738;
  d.sectors_per_cylinder = 0x4142434445464748;
  d.total_sectors = 0x5152535455565758;
  d.handle = 77;

  auto b = PhyDriveToBytes(d);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0])), "Phy ID 3");
  EXPECT_TRUE(AllZero(std::span(b).subspan(8, 92)));
  for (auto [off, c, len] : {std::tuple{100, 'M', 40}, {141, 'S', 20}, {162, 'F', 8}}) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[off]), len), std::string(len, c));
    EXPECT_EQ(b[off + len], 0) << "terminator after " << c;
  }
  // 195: reserved; 243: a descriptor is never stored.
  const std::tuple<std::size_t, int, std::uint64_t> fields[] = {
      {171, 4, 0x11223344u},          {175, 4, 0x55667788u},          {179, 8, 0xFFFFFFFFFFFFFFFEull},
      {187, 8, 0x0102030405060708ull}, {195, 8, 0},                    {203, 8, 0x1112131415161718ull},
      {211, 8, 0x2122232425262728ull}, {219, 8, 0x3132333435363738ull}, {227, 8, 0x4142434445464748ull},
      {235, 8, 0x5152535455565758ull}, {243, 4, 0}};
  for (auto [off, n, v] : fields) EXPECT_EQ(LE(b, off, n), v) << off;

  // Reading back gives the same image; a string without its terminator is cut.
  PHYDRIVE_INFO r;
  r.device_path = "/dev/stale";
  ASSERT_TRUE(PhyDriveFromBytes(b, r));
  EXPECT_EQ(PhyDriveToBytes(r), b);
  EXPECT_EQ(r.handle, kNoDevice);
  EXPECT_TRUE(r.device_path.empty());
  b[140] = 'X';
  ASSERT_TRUE(PhyDriveFromBytes(b, r));
  EXPECT_EQ(std::string(r.model), std::string(40, 'M'));
  EXPECT_FALSE(PhyDriveFromBytes(std::span(b).first(246), r));
}

TEST_F(DiskTest, IdentifyBlockStringsAreWordSwappedWithBlanksKept) {
  std::vector<std::uint8_t> block(512, 0);
  auto put = [&](std::size_t off, std::string s, std::size_t len) {
    s.resize(len, ' ');
    for (std::size_t i = 0; i < len; i += 2) {
      block[off + i] = static_cast<std::uint8_t>(s[i + 1]);
      block[off + i + 1] = static_cast<std::uint8_t>(s[i]);
    }
  };
  put(54, "WDC WD10EZEX-00BN5A0", 40);
  put(20, "     WD-WCC3F1234567", 20);
  put(46, "01.01A01", 8);
  PHYDRIVE_INFO d;
  ASSERT_TRUE(DecodeIdentifyBlock(block, d));
  EXPECT_EQ(std::string(d.model), "WDC WD10EZEX-00BN5A0" + std::string(20, ' '));
  EXPECT_EQ(std::string(d.serial), "     WD-WCC3F1234567");
  EXPECT_EQ(std::string(d.firmware), "01.01A01");
  EXPECT_FALSE(DecodeIdentifyBlock(std::span(block).first(100), d));
}

TEST_F(DiskTest, EnumerationSkipsNodesThatDoNotOpenAndKeepsDriveNumbers) {
  AddSysfsDisk("sda", 1 << 20);
  AddSysfsDisk("sdb", 0, /*with_node=*/false);  // listed by the kernel, gone from /dev
  AddSysfsDisk("sdc", 8225280ull * 2 + 4096);   // two cylinders and a tail
  AddSysfsDisk("loop0", 1 << 20);               // no file attached: not a drive
  AddSysfsDisk("loop1", 1 << 20);
  std::filesystem::create_directories(TempDir() / "sysfs/loop1/loop");
  std::ofstream(TempDir() / "sysfs/loop1/loop/backing_file") << "/srv/disk.img\n";
  AddSysfsDisk("loop2", 0);  // attached, but to an empty file: not a drive
  std::filesystem::create_directories(TempDir() / "sysfs/loop2/loop");
  std::ofstream(TempDir() / "sysfs/loop2/loop/backing_file") << "/srv/empty.img\n";
  AddSysfsDisk("zram0", 1 << 20);
  OpenMainWindow();

  ASSERT_EQ(ListView_GetItemCount(ctx().phy_list), 3);
  const char* nodes[] = {"loop1", "sda", "sdc"};
  const std::uint32_t numbers[] = {0, 1, 3};
  for (int row = 0; row < 3; ++row) {
    PHYDRIVE_INFO* d = Row(row);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(d->name), "Phy ID " + std::to_string(row));
    EXPECT_EQ(RowText(row, 0), std::to_string(row));
    EXPECT_EQ(d->drive_number, numbers[row]);
    EXPECT_EQ(d->device_path, (TempDir() / "dev" / nodes[row]).string());
    // No identity from a node that is not a drive: listed anyway.
    for (const char* s : {d->model, d->serial, d->firmware}) EXPECT_STREQ(s, "UNKNOWN");
    EXPECT_EQ(RowText(row, 1), "UNKNOWN");
    // Sources are only ever open for reading.
    EXPECT_EQ(::fcntl(d->handle, F_GETFL) & O_ACCMODE, O_RDONLY);
  }
  PHYDRIVE_INFO* sdc = Row(2);
  EXPECT_TRUE(sdc->heads == 255 && sdc->sectors_per_track == 63 && sdc->sectors_per_cylinder == 16065);
  EXPECT_EQ(sdc->cylinders, 2u);
  EXPECT_EQ(sdc->total_sectors, 32130u + 8u);  // the tail past the last cylinder is kept
  EXPECT_EQ(RowText(2, 2), "0.02 GB");
  EXPECT_TRUE(headless::Boxes().empty());
}

TEST_F(DiskTest, EnumerationStopsAtTwentySixDrivesInKernelOrder) {
  std::vector<std::string> names;
  for (char c = 'a'; c <= 'z'; ++c) names.push_back(std::string("sd") + c);
  names.insert(names.end(), {"sdaa", "sdab"});
  for (const auto& n : names) AddSysfsDisk(n, 4096);
  OpenMainWindow();
  ASSERT_EQ(ListView_GetItemCount(ctx().phy_list), 26);
  EXPECT_EQ(Row(25)->device_path, (TempDir() / "dev/sdz").string());
  EXPECT_EQ(Row(25)->drive_number, 25u);
}

// Drives the user may not open are not just missing: the status line and the
// context's note name them, why, and what to do. Run as nobody when root
// (root opens any node), in a child so the test process keeps its rights.
TEST_F(DiskTest, DrivesThatMayNotBeOpenedAreNamedWithTheFix) {
  const bool root = ::geteuid() == 0;
  auto dev = [&](const char* n) { return (TempDir() / "dev" / n).string(); };
  auto unprivileged = [&](const std::function<void()>& body) {
    if (!root) return body();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
      if (dropped) body();
      std::fflush(stdout);
      ::_exit(!dropped ? 3 : ::testing::Test::HasFailure() ? 1 : 0);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "child status " << st;
  };
  auto check = [&](int rows, const std::string& note) {
    unprivileged([&] {
      OpenMainWindow();
      EXPECT_EQ(ListView_GetItemCount(ctx().phy_list), rows);
      EXPECT_EQ(ctx().drive_access_note, note);
      EXPECT_EQ(GetDlgItemText(ctx().main_dlg, IDC_STATUS), note.empty() ? "Idle..." : note);
      CloseMainWindow();
    });
  };

  AddSysfsDisk("sdc", 1 << 20);  // readable: listed as usual
  check(1, "");
  AddSysfsDisk("sdb", 1 << 20);
  ASSERT_EQ(::chmod(dev("sdb").c_str(), 0), 0);
  check(1, "cannot read " + dev("sdb") + ": Permission denied; run as root");
  if (!root) GTEST_SKIP() << "naming the group needs a node of another group: run as root";
  // Group-readable by "disk": joining that group is the other way in.
  const group* disk = ::getgrnam("disk");
  ASSERT_NE(disk, nullptr);
  for (const char* n : {"sda", "sdd", "sde"}) {
    AddSysfsDisk(n, 1 << 20);
    ASSERT_EQ(::chown(dev(n).c_str(), 0, disk->gr_gid), 0);
    ASSERT_EQ(::chmod(dev(n).c_str(), 0640), 0);
  }
  check(1, "cannot read " + dev("sda") + ", " + dev("sdb") + ", " + dev("sdd") +
               " and 1 more: Permission denied; run as root or add your user to the 'disk' group");
  // Refused to root itself (a container's device policy): nothing to advise.
  EXPECT_EQ(DriveAccessNote({dev("sda")}, EPERM, true), "cannot read " + dev("sda") + ": Operation not permitted (refused even to root)");
  EXPECT_EQ(DriveAccessNote({}, EACCES, false), "");
}

TEST_F(DiskTest, DiskListTakesWholeDrivesInNaturalOrder) {
  for (const char* n : {"sdaa", "sdb", "sda", "nvme0n10", "nvme0n2", "nvme0c0n1", "mmcblk0", "mmcblk0boot0",
                        "loop10", "loop2", "loop3", "dm-0", "zram0", "sr0", "md0", "ram0", "xvda", "vda"})
    std::filesystem::create_directories(TempDir() / "sysfs" / n);
  for (const char* n : {"loop10", "loop2", "loop3"}) {
    std::filesystem::create_directories(TempDir() / "sysfs" / n / "loop");
    std::ofstream(TempDir() / "sysfs" / n / "loop/backing_file") << "/x\n";
    // loop3's size cannot be read: not listed.
    if (std::string(n) != "loop3") std::ofstream(TempDir() / "sysfs" / n / "size") << "2048\n";
  }
  auto list = sys_ListDiskDevices((TempDir() / "sysfs").string(), "/dev");
  std::vector<std::string> want = {"/dev/loop2", "/dev/loop10", "/dev/mmcblk0", "/dev/nvme0n2", "/dev/nvme0n10",
                                   "/dev/sda",   "/dev/sdb",    "/dev/sdaa",    "/dev/vda",     "/dev/xvda"};
  EXPECT_EQ(list, want);
  EXPECT_TRUE(sys_ListDiskDevices((TempDir() / "missing").string(), "/dev").empty());
}

TEST_F(DiskTest, UnreadableShortAndMissingSectorsAreZeroAndCounted) {
  OpenMainWindow();
  auto data = Pattern(4 * 512 + 488);  // four sectors and a partial fifth
  PHYDRIVE_INFO* d = AddImage(WriteFile("img", data));
  ASSERT_NE(d, nullptr);
  auto same = [&](std::span<const std::uint8_t> got, std::size_t from) {
    return std::equal(got.begin(), got.end(), data.begin() + static_cast<std::ptrdiff_t>(from));
  };

  g_bad_begin = 1024;
  g_bad_end = 1536;
  sys_SetReadFaultHook(FailBadRange);
  std::vector<std::uint8_t> buf(4 * 512, 0xEE);
  EXPECT_EQ(ReadSectors(ctx(), *d, 0, buf), 1);
  EXPECT_TRUE(same(std::span(buf).first(1024), 0));
  EXPECT_TRUE(AllZero(std::span(buf).subspan(1024, 512)));
  EXPECT_TRUE(same(std::span(buf).subspan(1536), 1536));
  EXPECT_EQ(d->read_errors, 1u);
  EXPECT_EQ(RdErr(), "1");
  d->read_errors = 999;  // the field shows the drive's running count with separators
  EXPECT_EQ(ReadSectors(ctx(), *d, 2, std::span(buf).first(512)), 1);
  EXPECT_EQ(RdErr(), "1,000");

  // A short sector keeps what it delivered, then zeros.
  sys_SetReadFaultHook(ShortAtSector1);
  d->read_errors = 0;
  EXPECT_EQ(ReadSectors(ctx(), *d, 0, buf), 1);
  EXPECT_TRUE(same(std::span(buf).first(612), 0));
  EXPECT_TRUE(AllZero(std::span(buf).subspan(612, 412)));
  EXPECT_TRUE(same(std::span(buf).subspan(1024), 1024));
  EXPECT_EQ(d->read_errors, 1u);
  sys_SetReadFaultHook(nullptr);

  // The partial last sector: the file's remaining bytes, then zeros, one error.
  d->read_errors = 0;
  std::vector<std::uint8_t> two(1024, 0xEE);
  EXPECT_EQ(ReadSectors(ctx(), *d, 4, two), 1);
  EXPECT_TRUE(same(std::span(two).first(488), 2048));
  EXPECT_TRUE(AllZero(std::span(two).subspan(488)));
  EXPECT_EQ(d->read_errors, 2u);
  // Positioned past the end: zeros, every sector counted.
  std::vector<std::uint8_t> far(3 * 512, 0xEE);
  EXPECT_EQ(ReadSectors(ctx(), *d, 10, far), 1);
  EXPECT_TRUE(AllZero(far));
  EXPECT_EQ(d->read_errors, 5u);
  // Positioning refused, or an LBA whose byte offset overflows: result 0, zeros, nothing counted.
  for (std::uint64_t lba : {std::uint64_t{0}, UINT64_MAX / 256}) {
    sys_SetReadFaultHook(lba == 0 ? RefuseAll : nullptr);
    std::fill(far.begin(), far.end(), 0xEE);
    EXPECT_EQ(ReadSectors(ctx(), *d, lba, far), 0);
    EXPECT_TRUE(AllZero(far));
  }
  EXPECT_EQ(d->read_errors, 5u);
  EXPECT_EQ(RdErr(), "5");
}

// A device refuses positions past its end, which a read must still report as
// such (not as an empty read) now that positioning is asked about only when
// nothing came back; the sweep's view of it brings nothing past the end
// either. Needs root and a loop device; skipped elsewhere.
TEST_F(DiskTest, ReadPastADevicesEndIsARefusedPositioning) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const auto img = WriteFile("dev.img", Pattern(8 * 512));
  std::string node(64, '\0');
  if (FILE* p = ::popen(("losetup --find --show --read-only " + Quoted(img) + " 2>/dev/null").c_str(), "r")) {
    node.resize(std::fread(node.data(), 1, node.size(), p));
    ::pclose(p);
  }
  node = node.substr(0, node.find('\n'));
  if (!node.starts_with("/dev/loop")) GTEST_SKIP() << "no loop device here";
  const DevHandle h = sys_OpenRead(node);
  std::vector<std::uint8_t> buf(1024, 0xEE), viewed;
  const IoResult inside = sys_ReadAt(h, 6 * 512, buf);
  const IoResult past = sys_ReadAt(h, 16 * 512, buf);
  bool viewed_past_end = true;
  {
    // The sweep's view of a device: the same bytes, nothing past its end.
    const DevHandle stream = sys_OpenStream(h);
    SweepView view(stream);
    const std::span<const std::uint8_t> seen = view.Bring(6 * 512, 1024);
    auto copy = [&] { viewed.assign(seen.begin(), seen.end()); };
    EXPECT_TRUE(ReadViewed(copy));
    viewed_past_end = !view.Bring(7 * 512, 1024).empty();
    sys_CloseStream(stream, h);
  }
  sys_Close(h);
  std::system(("losetup -d " + node).c_str());
  ASSERT_GE(h, 0);
  EXPECT_TRUE(inside.positioned && inside.ok);
  EXPECT_EQ(inside.bytes, 1024u);
  const auto pattern = Pattern(8 * 512);
  EXPECT_EQ(buf, std::vector<std::uint8_t>(pattern.begin() + 6 * 512, pattern.end()));
  EXPECT_FALSE(past.positioned);
  EXPECT_EQ(past.bytes, 0u);
  EXPECT_EQ(viewed, std::vector<std::uint8_t>(pattern.begin() + 6 * 512, pattern.end()));
  EXPECT_FALSE(viewed_past_end);
}

// The sweep's view of an image: the bytes brought in are the file's; a file
// cut short under the view makes a guarded read give up instead of killing
// the process, while a fault outside any guard is still fatal; nothing is
// viewed past the end or with a read hook in place.
TEST_F(DiskTest, AViewedImageCutShortFailsTheGuardedReadOnly) {
  const auto bytes = Pattern(1 << 20);
  const auto img = WriteFile("viewed.img", bytes);
  const DevHandle h = sys_OpenRead(img.string());
  ASSERT_GE(h, 0);
  {
    SweepView view(h);
    const std::span<const std::uint8_t> seen = view.Bring(3 * 512, 256 * 1024);
    ASSERT_EQ(seen.size(), 256u * 1024);
    std::vector<std::uint8_t> copy;
    auto read = [&] { copy.assign(seen.begin(), seen.end()); };
    EXPECT_TRUE(ReadViewed(read));
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), bytes.begin() + 3 * 512));
    EXPECT_TRUE(view.Bring((1 << 20) - 512, 1024).empty()) << "past the end";

    ASSERT_EQ(::truncate(img.c_str(), 0), 0);
    std::uint64_t sum = 0;
    auto add = [&] {
      for (std::size_t i = 0; i < seen.size(); i += 4096) sum += seen[i];
    };
    EXPECT_FALSE(ReadViewed(add)) << "the pages are gone";
    EXPECT_TRUE(view.Bring(0, 4096).empty());
    EXPECT_DEATH(sum += *static_cast<const volatile std::uint8_t*>(seen.data()), "");
    auto nothing = [] {};
    EXPECT_TRUE(ReadViewed(nothing)) << "the guard works again after a fault";
  }
  sys_Close(h);

  const auto other = WriteFile("other.img", bytes);
  const DevHandle o = sys_OpenRead(other.string());
  sys_SetReadFaultHook(FailBadRange);
  EXPECT_TRUE(SweepView(o).Bring(0, 4096).empty()) << "reads are hooked";
  sys_SetReadFaultHook(nullptr);
  EXPECT_FALSE(SweepView(o).Bring(0, 4096).empty());
  sys_Close(o);
}

TEST_F(DiskTest, LbaAboveFourGigaSectorsIsPositionedExactly) {
  OpenMainWindow();
  const std::uint64_t lba = (1ull << 32) + 5;
  auto path = MakeSparseFile("huge.img", (lba + 16) * 512);
  {
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const char marker[] = "far marker";
    ASSERT_EQ(::pwrite(fd, marker, sizeof marker, static_cast<off_t>(lba * 512)), static_cast<ssize_t>(sizeof marker));
    ::close(fd);
  }
  PHYDRIVE_INFO* d = AddImage(path);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->total_sectors, lba + 16);
  std::vector<std::uint8_t> buf(512);
  ASSERT_EQ(ReadSectors(ctx(), *d, lba, buf), 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(buf.data()), "far marker");
  ASSERT_EQ(ReadSectors(ctx(), *d, 5, buf), 1);  // the offset cut to 32 bits
  EXPECT_TRUE(AllZero(buf));

  auto sector = Pattern(512);
  ASSERT_EQ(WriteSectors(*d, lba + 1, sector), 1);
  ASSERT_EQ(ReadSectors(ctx(), *d, lba + 1, buf), 1);
  EXPECT_EQ(buf, sector);
  EXPECT_EQ(d->read_errors, 0u);
}

TEST_F(DiskTest, WritesReachTheImageAndFailuresAreReported) {
  OpenMainWindow();
  auto path = WriteFile("w.img", std::vector<std::uint8_t>(8 * 512, 0));
  PHYDRIVE_INFO* d = AddImage(path);
  ASSERT_NE(d, nullptr);
  auto data = Pattern(2 * 512);
  ASSERT_EQ(WriteSectors(*d, 3, data), 1);
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> all{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(all.size(), 8u * 512);
  EXPECT_TRUE(AllZero(std::span(all).first(3 * 512)) && AllZero(std::span(all).subspan(5 * 512)));
  EXPECT_EQ(std::vector(all.begin() + 3 * 512, all.begin() + 5 * 512), data);
  EXPECT_EQ(::fcntl(d->handle, F_GETFL) & O_ACCMODE, O_RDONLY) << "the read handle stays read-only";
  EXPECT_TRUE(headless::Boxes().empty());

  // The image went away: the write is refused, not created anew.
  std::filesystem::remove(path);
  EXPECT_EQ(WriteSectors(*d, 7, data), 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(WriteSectors(*d, UINT64_MAX / 4, data), 0);
  EXPECT_EQ(headless::Boxes().size(), 2u);
  ExpectErrorBox(0, "Error on WriteFile LBA Sector (7)");
  ExpectErrorBox(1, "Error On SetFilePointer: LBA Sector (" + std::to_string(UINT64_MAX / 4) + ")");
}

TEST_F(DiskTest, ImageFileBecomesAPseudoDrive) {
  OpenMainWindow();
  auto path = WriteFile("a-rather-long-image-file-name-for-the-type-column.img", Pattern(1000));
  ASSERT_GT(path.string().size(), 40u);
  PHYDRIVE_INFO* d = AddImage(path);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->name, "Phy ID 0");
  EXPECT_EQ(std::string(d->model), path.string().substr(0, 40));
  EXPECT_EQ(RowText(0, 1), path.string().substr(0, 40));
  EXPECT_EQ(RowText(0, 0), "0");
  EXPECT_EQ(RowText(0, 2), "0.00 GB");
  EXPECT_TRUE(d->serial[0] == 0 && d->firmware[0] == 0 && d->drive_number == 0);
  EXPECT_EQ(d->total_sectors, 2u);
  EXPECT_EQ(d->cylinders, 0u);
  EXPECT_TRUE(d->heads == 255 && d->sectors_per_track == 63 && d->sectors_per_cylinder == 16065);
  EXPECT_EQ(d->size_mb, 0);
  EXPECT_EQ(d->device_path, path.string());

  // A GiB image: whole cylinders, the size column and size_mb.
  PHYDRIVE_INFO* g = AddImage(MakeSparseFile("g.img", 1ull << 30));
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(RowText(1, 2), "1.00 GB");
  EXPECT_EQ(g->size_mb, 1024);
  EXPECT_EQ(g->cylinders, 2097152u / 16065u);

  // An empty file is listed, and every read of it fails.
  PHYDRIVE_INFO* e = AddImage(WriteFile("empty.img", {}));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->total_sectors, 0u);
  std::vector<std::uint8_t> buf(1024, 0xEE);
  EXPECT_EQ(ReadSectors(ctx(), *e, 0, buf), 1);
  EXPECT_TRUE(AllZero(buf));
  EXPECT_EQ(e->read_errors, 2u);
  EXPECT_EQ(ListView_GetItemCount(ctx().phy_list), 3);

  // A folder opens but has no sectors: not a drive.
  EXPECT_EQ(AddImageFile(ctx(), TempDir().string()), 0);
  EXPECT_EQ(headless::Boxes().size(), 1u);
  ExpectErrorBox(0, "Could not open " + TempDir().string());
  EXPECT_EQ(ListView_GetItemCount(ctx().phy_list), 3);

  // Closing every drive closes its descriptor and leaves no pointer to it.
  const int fd = d->handle;
  ctx().clone_source = d;
  CloseAllDrives(ctx());
  EXPECT_EQ(Row(0), nullptr);
  EXPECT_EQ(ctx().clone_source, nullptr);
  errno = 0;
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  CloseAllDrives(ctx());  // twice is harmless

  // Once the window is gone the context holds no pointer into it, so closing
  // the drives again reaches no freed list.
  CloseMainWindow();
  for (const void* p : {static_cast<const void*>(ctx().main_dlg), static_cast<const void*>(ctx().phy_list),
                        static_cast<const void*>(ctx().log_list), static_cast<const void*>(ctx().file_list),
                        static_cast<const void*>(ctx().dir_tree), static_cast<const void*>(ctx().info_tree),
                        static_cast<const void*>(ctx().progress_bar), static_cast<const void*>(ctx().info_phy_item)})
    EXPECT_EQ(p, nullptr);
  CloseAllDrives(ctx());
}

TEST_F(DiskTest, AFifoIsRefusedAtOnce) {
  // A FIFO with no writer: a blocking open would wait for ever.
  OpenMainWindow();
  const std::filesystem::path fifo = TempDir() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::promise<int> added;
  std::future<int> result = added.get_future();
  std::thread adder([&] { added.set_value(AddImageFile(ctx(), fifo.string())); });
  if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    // Hung in open: a writer lets it go, so that the test can end.
    const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    adder.join();
    if (w >= 0) ::close(w);
    FAIL() << "adding a FIFO as an image blocked";
  }
  adder.join();
  EXPECT_EQ(result.get(), 0);
  EXPECT_EQ(ListView_GetItemCount(ctx().phy_list), 0);
  ASSERT_EQ(headless::Boxes().size(), 1u);
  EXPECT_EQ(headless::Boxes()[0].text, "Could not open " + fifo.string());
  ASSERT_FALSE(DebugLines().empty());
  EXPECT_EQ(DebugLines().back(), "AddImageFile: " + fifo.string() + ": " + sys_ErrorText(ENOTBLK));
  EXPECT_EQ(sys_OpenRead(fifo.string()), kNoDevice);
  EXPECT_EQ(sys_LastError(), ENOTBLK);

  // A regular file still opens, for blocking reads.
  const DevHandle h = sys_OpenRead(WriteFile("plain.img", Pattern(512)).string());
  ASSERT_NE(h, kNoDevice);
  EXPECT_EQ(::fcntl(h, F_GETFL) & O_NONBLOCK, 0);
  sys_Close(h);
}

TEST_F(DiskTest, AddFileToDataStreamFollowsTheChooser) {
  OpenMainWindow();
  auto path = WriteFile("s.img", Pattern(4096));
  const std::string missing = (TempDir() / "missing.img").string();
  headless::AnswerOpenFile(path.string());
  headless::AnswerOpenFile(std::nullopt);
  headless::AnswerOpenFile(missing);
  AddFileToDataStream(ctx());
  ASSERT_EQ(ListView_GetItemCount(ctx().phy_list), 1);
  EXPECT_EQ(Row(0)->total_sectors, 8u);
  AddFileToDataStream(ctx());  // cancelled
  EXPECT_TRUE(headless::Boxes().empty());
  AddFileToDataStream(ctx());
  EXPECT_EQ(ListView_GetItemCount(ctx().phy_list), 1);
  EXPECT_EQ(headless::Boxes().size(), 1u);
  ExpectErrorBox(0, "Could not open " + missing);
}

TEST_F(DiskTest, ErrorBoxesCutLongTextAndSkipErrorsWithoutText) {
  const std::string long_text(1500, 'x');
  EXPECT_EQ(ShowErrorBox("%s%d", long_text.c_str(), 5), 1);
  ExpectErrorBox(0, std::string(999, 'x'), "**** Retrova ver " RETROVA_PROJECT_VERSION " ERROR ****");
  sys_SetLastError(ENOENT);
  ShowLastErrorBox();
  ExpectErrorBox(1, std::strerror(ENOENT));
  for (int no_text : {0, 98765}) {
    sys_SetLastError(no_text);
    ShowLastErrorBox();
  }
  EXPECT_EQ(headless::Boxes().size(), 2u);

  // The layer records why its own calls failed.
  EXPECT_EQ(sys_OpenRead((TempDir() / "nope").string()), kNoDevice);
  EXPECT_EQ(sys_LastError(), ENOENT);
}

}  // namespace
