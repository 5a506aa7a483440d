// Boot records: the named bytes of every record kind and family, the checks
// that refuse impossible volumes, and rebuilt fixture volumes read by the
// peer tools as before; undo files put the old sectors back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/frontend.h"
#include "platform/headless/headless.h"
#include "platform/window.h"
#include "res/ids.h"
#include "test_support.h"
#include "utils/boot_stub.h"
#include "utils/bootrec.h"

namespace {

namespace fs = std::filesystem;

std::string Text(std::span<const std::uint8_t> b, std::size_t at, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(b.data() + at), n);
}
bool HasStub(std::span<const std::uint8_t> b, std::size_t at) {
  const auto stub = BootStub();
  return std::equal(stub.begin(), stub.end(), b.begin() + at);
}
bool Zero(std::span<const std::uint8_t> b, std::size_t from, std::size_t to) {
  return std::all_of(b.begin() + from, b.begin() + to, [](std::uint8_t v) { return v == 0; });
}

BootParams Fat32Params(OsFamily os) {
  BootParams p;
  p.fs = BootFs::kFat32;
  p.os = os;
  p.start_lba = 2048;
  p.hidden_sectors = 2048;
  p.total_sectors = 71680;
  p.sectors_per_cluster = 1;
  p.root_cluster = 2;
  p.fat_sectors = 552;
  p.reserved_sectors = 32;
  return p;
}

}  // namespace

TEST(BootrecTest, Fat32RecordPerFamily) {
  const BootGeometry g{63, 255, 1};
  for (OsFamily os : {OsFamily::kNt, OsFamily::k9x}) {
    const auto r = BuildFat32Boot(Fat32Params(os), g);
    std::span<const std::uint8_t> b(r);
    EXPECT_EQ(b[0], 0xEB);
    EXPECT_EQ(b[1], 0x58);
    EXPECT_EQ(Text(b, 3, 8), os == OsFamily::k9x ? "MSWIN4.1" : "MSDOS5.0");
    EXPECT_EQ(le::U16(b, 11), 512);
    EXPECT_EQ(b[13], 1);
    EXPECT_EQ(le::U16(b, 14), 32);
    EXPECT_EQ(b[16], 2);
    EXPECT_EQ(b[21], 0xF8);
    EXPECT_EQ(le::U16(b, 22), 0);
    EXPECT_EQ(le::U16(b, 24), 63);
    EXPECT_EQ(le::U16(b, 26), 255);
    EXPECT_EQ(le::U32(b, 28), 2048u);
    EXPECT_EQ(le::U32(b, 32), 71680u);
    EXPECT_EQ(le::U32(b, 36), 552u);
    EXPECT_EQ(le::U32(b, 44), 2u);
    EXPECT_EQ(le::U16(b, 48), 1);
    EXPECT_EQ(le::U16(b, 50), 6);
    EXPECT_EQ(b[64], 0x81) << "drive 1";
    EXPECT_EQ(b[66], 0x29);
    EXPECT_EQ(le::U32(b, 67), 0xDADABABAu);
    EXPECT_EQ(Text(b, 71, 11), "KZTOOLBUILT");
    EXPECT_EQ(Text(b, 82, 8), "FAT32   ");
    EXPECT_TRUE(HasStub(b, 90));
    EXPECT_EQ(le::U16(b, 510), 0xAA55);
    EXPECT_EQ(Text(b, 512, 4), "RRaA");
    EXPECT_EQ(Text(b, 996, 4), "rrAa");
    EXPECT_EQ(le::U32(b, 1000), 0xFFFFFFFFu);
    EXPECT_EQ(le::U32(b, 1004), 2u);
    EXPECT_EQ(le::U16(b, 1022), 0xAA55);
    EXPECT_EQ(le::U16(b, 1534), 0xAA55);
    if (os == OsFamily::k9x) {
      EXPECT_EQ(Text(b, 472, 11), "IO      SYS");
      EXPECT_EQ(Text(b, 483, 11), "MSDOS   SYS");
      EXPECT_EQ(Text(b, 497, 11), "WINBOOT SYS");
      EXPECT_TRUE(HasStub(b, 1024)) << "sector 2 carries the second program";
    } else {
      EXPECT_TRUE(Zero(b, 1024, 1534)) << "sector 2 is empty but for its signature";
      EXPECT_TRUE(Zero(b, 90 + BootStub().size(), 510));
    }
  }
}

TEST(BootrecTest, Fat16RecordAndTheTotalSectorsFields) {
  const BootGeometry g{63, 16, 0};
  BootParams p;
  p.fs = BootFs::kFat16;
  p.os = OsFamily::kNt;
  p.start_lba = 63;
  p.hidden_sectors = 63;
  p.sectors_per_cluster = 4;
  p.fat_sectors = 64;
  p.reserved_sectors = 4;
  p.total_sectors = 65535;
  auto r = BuildFat16Boot(p, g);
  std::span<const std::uint8_t> b(r);
  EXPECT_EQ(b[1], 0x3C);
  EXPECT_EQ(le::U16(b, 14), 4) << "the reserved-sectors field, not a fixed 1";
  EXPECT_EQ(le::U16(b, 17), 512);
  EXPECT_EQ(le::U16(b, 19), 65535);
  EXPECT_EQ(le::U32(b, 32), 0u);
  EXPECT_EQ(le::U16(b, 22), 64);
  EXPECT_EQ(le::U32(b, 28), 63u) << "hidden sectors = the volume's LBA";
  EXPECT_EQ(b[36], 0x80);
  EXPECT_EQ(b[38], 0x29);
  EXPECT_EQ(Text(b, 43, 11), "KZTOOLBUILT");
  EXPECT_EQ(Text(b, 54, 8), "FAT16   ");
  EXPECT_TRUE(HasStub(b, 62));
  EXPECT_EQ(le::U16(b, 510), 0xAA55);
  p.total_sectors = 65536;
  r = BuildFat16Boot(p, g);
  EXPECT_EQ(le::U16(r, 19), 0);
  EXPECT_EQ(le::U32(r, 32), 65536u);
  p.fs = BootFs::kFat12;
  p.os = OsFamily::k9x;
  r = BuildFat16Boot(p, g);
  EXPECT_EQ(Text(r, 3, 8), "MSWIN4.1");
  EXPECT_EQ(Text(r, 54, 8), "FAT12   ");
  EXPECT_EQ(Text(r, 472, 11), "IO      SYS");
  EXPECT_EQ(Text(r, 483, 11), "MSDOS   SYS");
}

TEST(BootrecTest, NtfsRecord) {
  BootParams p;
  p.fs = BootFs::kNtfs;
  p.start_lba = 2048;
  p.hidden_sectors = 2048;
  p.total_sectors = 16384;
  p.sectors_per_cluster = 8;
  p.root_cluster = 4;
  p.mftmirr_cluster = 1023;
  const auto r = BuildNtfsBoot(p, BootGeometry{63, 255, 0});
  std::span<const std::uint8_t> b(r);
  EXPECT_EQ(b[1], 0x52);
  EXPECT_EQ(Text(b, 3, 8), "NTFS    ");
  EXPECT_EQ(b[13], 8);
  EXPECT_EQ(le::U64(b, 28), 2048u);
  EXPECT_EQ(le::U32(b, 36), 0x00800080u);
  EXPECT_EQ(le::U64(b, 40), 16383u) << "the last sector holds the backup";
  EXPECT_EQ(le::U64(b, 48), 4u);
  EXPECT_EQ(le::U64(b, 56), 1023u);
  EXPECT_EQ(b[64], 0xF6) << "1024-byte records on 4 KiB clusters: 2^-(-10)";
  EXPECT_EQ(b[68], 1) << "4096-byte index blocks";
  EXPECT_EQ(le::U32(b, 72), 0xDADABABAu);
  EXPECT_TRUE(HasStub(b, 84));
  EXPECT_TRUE(Zero(b, 14, 21));
  EXPECT_EQ(le::U16(b, 510), 0xAA55);
  EXPECT_EQ(NtfsClustersPerUnit(1024, 1), 2);
  EXPECT_EQ(NtfsClustersPerUnit(4096, 1), 8);
  EXPECT_EQ(NtfsClustersPerUnit(4096, 16), -12);
  EXPECT_EQ(DefaultMftMirrCluster(p), 2047u / 2);
}

TEST(BootrecTest, PlansRefuseImpossibleVolumesAndRangesPastTheDrive) {
  const BootGeometry g;
  BootParams p = Fat32Params(OsFamily::kNt);
  BootPlan plan = PlanBootRecord(p, g, 73728);
  ASSERT_TRUE(plan.refusal.empty()) << plan.refusal;
  ASSERT_EQ(plan.writes.size(), 2u);
  EXPECT_EQ(plan.writes[1].lba, 2048u + 6);
  EXPECT_EQ(plan.writes[1].bytes.size(), 1536u);
  // The dialog's old defaults: LBA 63 with the drive's whole size.
  p.start_lba = 63;
  p.total_sectors = 73728;
  EXPECT_NE(PlanBootRecord(p, g, 73728).refusal.find("past the drive"), std::string::npos);
  p = Fat32Params(OsFamily::kNt);
  p.fat_sectors = 0;
  EXPECT_FALSE(PlanBootRecord(p, g, 73728).refusal.empty());
  p.fat_sectors = 100;
  EXPECT_NE(PlanBootRecord(p, g, 73728).refusal.find("cannot map"), std::string::npos);
  p = Fat32Params(OsFamily::kNt);
  p.root_cluster = 1;
  EXPECT_FALSE(PlanBootRecord(p, g, 73728).refusal.empty());
  p = Fat32Params(OsFamily::kNt);
  p.sectors_per_cluster = 3;
  EXPECT_FALSE(PlanBootRecord(p, g, 73728).refusal.empty());

  BootParams n;
  n.fs = BootFs::kNtfs;
  n.os = OsFamily::k9x;
  n.start_lba = 2048;
  n.total_sectors = 16384;
  n.sectors_per_cluster = 1;
  n.root_cluster = 32;
  n.mftmirr_cluster = 8191;
  EXPECT_EQ(PlanBootRecord(n, g, 18432).refusal, "Your current OS config is 95/98/ME.  Change to NT/2K/XP.");
  n.os = OsFamily::kNt;
  plan = PlanBootRecord(n, g, 18432);
  ASSERT_TRUE(plan.refusal.empty()) << plan.refusal;
  EXPECT_EQ(plan.writes[1].lba, 2048u + 16383);
  EXPECT_FALSE(PlanBootRecord(n, g, 18431).refusal.empty()) << "the backup would land past the end";
}

TEST(BootrecTest, FatKindAndSizeEstimate) {
  BootParams p;
  p.fs = BootFs::kFat16;
  p.reserved_sectors = 1;
  p.sectors_per_cluster = 4;
  p.total_sectors = 65536;  // 32 MiB: well over 4085 clusters of 2 KiB
  EXPECT_EQ(FatKindFor(p), BootFs::kFat16);
  p.fat_sectors = EstimateFatSectors(p);
  EXPECT_EQ(p.fat_sectors, 64u);
  EXPECT_TRUE(PlanBootRecord(p, BootGeometry{}, 65536).refusal.empty());
  p.total_sectors = 8192;  // 4 MiB
  p.fat_sectors = 0;
  EXPECT_EQ(FatKindFor(p), BootFs::kFat12);
}

// The peer tools read rebuilt volumes as they read the fixtures.
class BootrecToolTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    setenv("XDG_DATA_HOME", (TempDir() / "data").c_str(), 1);
  }
  static bool Have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
  }
  static std::string Run(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    return out;
  }
  fs::path CopyOf(const std::string& fixture, const std::string& name) {
    const fs::path to = TempDir() / name;
    fs::copy_file(Fixture(fixture), to, fs::copy_options::overwrite_existing);
    return to;
  }
  static void ZeroSectors(const fs::path& img, std::uint64_t lba, std::uint64_t count) {
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(lba * 512));
    const std::vector<char> z(count * 512);
    f.write(z.data(), static_cast<std::streamsize>(z.size()));
  }
  static std::vector<char> Bytes(const fs::path& img) {
    std::ifstream f(img, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), {});
  }
  // The volume at sector 2048 copied out, for the tools that take no offset.
  fs::path Volume(const fs::path& img) {
    const fs::path v = img.string() + ".vol";
    Run("dd if=" + Quoted(img) + " of=" + Quoted(v) + " bs=512 skip=2048 status=none");
    return v;
  }
  static std::string FsckSummary(const std::string& out) {
    const auto at = out.rfind(": ");
    return at == std::string::npos ? out : out.substr(at);
  }
};

TEST_F(BootrecToolTest, RebuiltFat32VolumeReadsAsBefore) {
  const fs::path img = CopyOf("fat/basic.img", "fat32.img");
  const std::string fls_before = Have("fls") ? Run("fls -r -o 2048 " + Quoted(img)) : "";
  const std::string fsck_before = Have("fsck.fat") ? Run("fsck.fat -n " + Quoted(Volume(img))) : "";
  ZeroSectors(img, 2048, 9);
  const std::string args = "bootrec " + Quoted(img) + " --fs fat32 --lba 2048 --total 71680 --cluster-sectors 1 "
                           "--fat-sectors 552";
  const auto zeroed = Bytes(img);
  EXPECT_EQ(RunCli(args).status, 3);
  EXPECT_EQ(Bytes(img), zeroed) << "no --yes: nothing written";
  ASSERT_EQ(RunCli(args + " --yes").status, 0);
  if (Have("fsck.fat")) {
    const std::string after = Run("fsck.fat -n " + Quoted(Volume(img)));
    EXPECT_EQ(after.find("corrupt"), std::string::npos) << after;
    EXPECT_EQ(FsckSummary(after), FsckSummary(fsck_before)) << after;
  } else {
    std::printf("fsck.fat missing: the FAT32 check is skipped\n");
  }
  if (Have("fls"))
    EXPECT_EQ(Run("fls -r -o 2048 " + Quoted(img)), fls_before);
  else
    std::printf("fls missing: the listing check is skipped\n");
}

TEST_F(BootrecToolTest, RebuiltNtfsVolumeReadsAsBeforeAndUndoPutsTheSectorsBack) {
  const fs::path img = CopyOf("ntfs/ntfs_basic.img", "ntfs.img");
  const std::string fls_before = Have("fls") ? Run("fls -r -o 2048 " + Quoted(img)) : "";
  ZeroSectors(img, 2048, 1);
  ZeroSectors(img, 2048 + 16383, 1);
  const auto zeroed = Bytes(img);
  // The $MFT mirror is read from the $MFT, not guessed.
  ASSERT_EQ(RunCli("bootrec " + Quoted(img) + " --fs ntfs --lba 2048 --total 16384 --cluster-sectors 1 "
                   "--start-cluster 32 --yes").status, 0);
  const auto built = Bytes(img);
  EXPECT_EQ(le::U64(std::span(reinterpret_cast<const std::uint8_t*>(built.data()) + 2048 * 512, 512), 56), 8191u);
  if (Have("fls"))
    EXPECT_EQ(Run("fls -r -o 2048 " + Quoted(img)), fls_before);
  else
    std::printf("fls missing: the listing check is skipped\n");
  if (Have("ntfsinfo") && Have("ntfsls")) {
    const fs::path vol = Volume(img);
    EXPECT_EQ(std::system(("ntfsinfo -m " + Quoted(vol) + " >/dev/null 2>&1").c_str()), 0);
    EXPECT_NE(Run("ntfsls " + Quoted(vol)).find("Docs"), std::string::npos);
  } else {
    std::printf("ntfs-3g tools missing: ntfsinfo/ntfsls checks skipped\n");
  }
  // The undo file holds the zeroed sectors; restore checks the drive first.
  std::vector<fs::path> undo;
  for (const auto& e : fs::directory_iterator(TempDir() / "data" / "retrova" / "undo")) undo.push_back(e.path());
  ASSERT_EQ(undo.size(), 1u);
  EXPECT_NE(undo[0].filename().string().find("ntfs.img-lba2048-"), std::string::npos);
  const fs::path other = CopyOf("fat/basic.img", "other.img");
  const auto other_bytes = Bytes(other);
  EXPECT_EQ(RunCli("restore " + Quoted(undo[0]) + " " + Quoted(other) + " --yes").status, 1);
  EXPECT_EQ(Bytes(other), other_bytes);
  EXPECT_EQ(RunCli("restore " + Quoted(undo[0]) + " " + Quoted(img)).status, 3);
  EXPECT_EQ(Bytes(img), built);
  ASSERT_EQ(RunCli("restore " + Quoted(undo[0]) + " " + Quoted(img) + " --yes").status, 0);
  EXPECT_EQ(Bytes(img), zeroed);
}

TEST_F(BootrecToolTest, RefusalsWriteNothing) {
  const fs::path img = CopyOf("fat/basic.img", "refuse.img");
  const auto before = Bytes(img);
  // Past the end of the 73728-sector image.
  EXPECT_EQ(RunCli("bootrec " + Quoted(img) + " --fs fat32 --lba 63 --total 73728 --yes").status, 1);
  EXPECT_EQ(RunCli("bootrec " + Quoted(img) + " --fs ntfs --lba 2048 --total 16384 --os 9x --yes").status, 1);
  EXPECT_EQ(RunCli("bootrec " + Quoted(img) + " --fs fat32 --lba 2048 --total 71680 --fat-sectors 1 --yes").status, 1);
  EXPECT_EQ(RunCli("bootrec " + Quoted(img) + " --fs exfat --lba 2048 --total 10").status, 2);
  EXPECT_EQ(Bytes(img), before);
  EXPECT_FALSE(fs::exists(TempDir() / "data" / "retrova" / "undo"));
}

TEST_F(BootrecToolTest, NoUndoFileMeansNoWriteAndExitOne) {
  const fs::path img = CopyOf("fat/basic.img", "readonly.img");
  const auto before = Bytes(img);
  const std::string args = "bootrec " + Quoted(img) + " --fs fat32 --lba 2048 --total 71680 --cluster-sectors 1 "
                           "--fat-sectors 552 --yes";
  // No undo file can be made under a plain file: nothing is written.
  const fs::path blocker = WriteFile("blocker", {1});
  setenv("XDG_DATA_HOME", (blocker / "data").c_str(), 1);
  EXPECT_EQ(RunCli(args).status, 1);
  EXPECT_EQ(Bytes(img), before);
}

TEST_F(BootrecToolTest, AWriteRefusedByTheSystemEndsInExitOne) {
  const fs::path img = CopyOf("fat/basic.img", "readonly.img");
  const std::string args = "bootrec " + Quoted(img) + " --fs fat32 --lba 2048 --total 71680 --cluster-sectors 1 "
                           "--fat-sectors 552 --yes";
  fs::permissions(img, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  if (Run("id -u").starts_with("0")) GTEST_SKIP() << "root writes read-only files";
  EXPECT_EQ(RunCli(args).status, 1);
}

// The dialogs through their models: the question names the drive and the
// sectors, No writes nothing, Yes writes and says where the undo file is.
class RecordDialogTest : public BootrecToolTest {
 protected:
  fs::path OpenWithImage() {
    const fs::path img = MakeSparseFile("dlg.img", 8u << 20);
    OpenMainWindow({img.string()});
    const int row = ListView_GetItemCount(ctx().phy_list) - 1;
    ClickListRow(ctx().main_dlg, IDC_PHY_LIST, row, HitPart::Label);
    DrainQueue();
    return img;
  }
  void RunDialogOnce(int command, int dialog, int write, int exit) {
    headless::PostCommandAfterSteps(0, dialog, write);
    headless::PostCommandAfterSteps(1, dialog, exit);
    PostCommand(ctx().main_dlg, command);
    DrainQueue();
  }
  static const headless::BoxRecord* LastQuestion() {
    const headless::BoxRecord* q = nullptr;
    for (const auto& b : headless::Boxes())
      if (b.buttons == MB_YESNO) q = &b;
    return q;
  }
};

TEST_F(RecordDialogTest, BootRecordDialogAsksThenWrites) {
  const fs::path img = OpenWithImage();
  const auto blank = Bytes(img);
  headless::AnswerMessageBox(IDNO);
  RunDialogOnce(IDM_BUILD_BOOTREC, IDD_BOOTREC, IDC_BR_WRITE, IDC_BR_EXIT);
  const headless::BoxRecord* q = LastQuestion();
  ASSERT_NE(q, nullptr);
  EXPECT_NE(q->text.find(img.string()), std::string::npos) << q->text;
  EXPECT_NE(q->text.find("sectors 63-63"), std::string::npos) << q->text;
  EXPECT_NE(q->text.find("sectors 16383-16383"), std::string::npos) << "the backup in the last sector: " << q->text;
  EXPECT_EQ(Bytes(img), blank);
  EXPECT_EQ(ctx().bootrec_dlg, nullptr);

  headless::AnswerMessageBox(IDYES);
  RunDialogOnce(IDM_BUILD_BOOTREC, IDD_BOOTREC, IDC_BR_WRITE, IDC_BR_EXIT);
  const auto built = Bytes(img);
  EXPECT_EQ(std::string(built.data() + 63 * 512 + 3, 8), "NTFS    ");
  EXPECT_EQ(std::string(built.data() + 16383 * 512 + 3, 8), "NTFS    ");
  ASSERT_FALSE(headless::Boxes().empty());
  EXPECT_NE(headless::Boxes().back().text.find("retrova/undo/dlg.img-lba63-"), std::string::npos)
      << headless::Boxes().back().text;
}

TEST_F(RecordDialogTest, PartitionRecordDialogWritesAnEntryAndNoSelectionOpensNothing) {
  const fs::path img = OpenWithImage();
  headless::AnswerMessageBox(IDYES);
  RunDialogOnce(IDM_BUILD_PARTREC, IDD_PARTREC, IDC_PR_WRITE, IDC_PR_EXIT);
  const auto b = Bytes(img);
  EXPECT_EQ(static_cast<std::uint8_t>(b[510]), 0x55);
  EXPECT_EQ(static_cast<std::uint8_t>(b[446 + 4]), 0x07);
  EXPECT_EQ(le::U32(std::span(reinterpret_cast<const std::uint8_t*>(b.data()), 512), 446 + 8), 63u);
  EXPECT_EQ(le::U32(std::span(reinterpret_cast<const std::uint8_t*>(b.data()), 512), 446 + 12), 16384u - 63);
  // A scan running: the command is ignored.
  const std::size_t boxes = headless::Boxes().size();
  ctx().scan_running = 1;
  PostCommand(ctx().main_dlg, IDM_BUILD_PARTREC);
  PostCommand(ctx().main_dlg, IDM_BUILD_BOOTREC);
  DrainQueue();
  ctx().scan_running = 0;
  EXPECT_EQ(headless::Boxes().size(), boxes);
}

// A FAT16 volume whose reserved area mkfs.fat made 4 sectors: rebuilt with
// its own reserved count it reads as before; the fixed 1 would move the FATs.
TEST_F(BootrecToolTest, RebuiltFat16VolumeKeepsItsReservedArea) {
  if (!Have("mkfs.fat") || !Have("fsck.fat")) GTEST_SKIP() << "dosfstools missing: the FAT16 check is skipped";
  const fs::path img = TempDir() / "fat16.img";
  ASSERT_EQ(std::system(("mkfs.fat -F 16 -s 4 -R 4 -C " + Quoted(img) + " 32768 >/dev/null 2>&1").c_str()), 0);
  const auto made = Bytes(img);
  const auto* b = reinterpret_cast<const std::uint8_t*>(made.data());
  ASSERT_EQ(le::U16(std::span(b, 512), 14), 4);
  const std::string before = Run("fsck.fat -n " + Quoted(img));
  ZeroSectors(img, 0, 1);
  const std::string base = "bootrec " + Quoted(img) + " --fs fat16 --lba 0 --total 65536 --cluster-sectors 4 "
                           "--fat-sectors " + std::to_string(le::U16(std::span(b, 512), 22));
  ASSERT_EQ(RunCli(base + " --reserved 1 --yes").status, 0);
  EXPECT_NE(Run("fsck.fat -n " + Quoted(img)), before) << "the wrong reserved area is seen";
  ASSERT_EQ(RunCli(base + " --reserved 4 --yes").status, 0);
  const std::string after = Run("fsck.fat -n " + Quoted(img));
  EXPECT_EQ(FsckSummary(after), FsckSummary(before)) << after;
  EXPECT_EQ(after.find("corrupt"), std::string::npos) << after;
}
