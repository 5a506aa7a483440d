// Container and split images as drives: each format of the demo disk reads
// as the raw demo disk does (volumes, scan rows, copies out, every sector),
// shows its format as the drive's Type, is never written, and a damaged one
// gives a message rather than a crash.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>

#include <sys/stat.h>

#include "disk/bulk_write.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/controls.h"
#include "platform/image_formats.h"
#include "platform/sweep_view.h"
#include "platform/sysio.h"
#include "test_support.h"
#include "utils/clone.h"
#include "utils/undo.h"
#include "utils/wipe.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kDemoBytes = 96390 * 512;

std::vector<std::uint8_t> ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const fs::path& p, std::span<const std::uint8_t> bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The raw demo disk cut into three parts whose ends fall inside sectors, so
// that reads straddle them.
fs::path MakeSplit(const fs::path& dir) {
  const std::vector<std::uint8_t> raw = ReadAll(Fixture("demo.img"));
  const std::size_t cut1 = 16'777'001, cut2 = 2 * cut1 + 77;
  const std::span<const std::uint8_t> all(raw);
  WriteAll(dir / "split.001", all.subspan(0, cut1));
  WriteAll(dir / "split.002", all.subspan(cut1, cut2 - cut1));
  WriteAll(dir / "split.003", all.subspan(cut2));
  return dir / "split.001";
}

// A VMDK text descriptor over the raw demo disk as its flat extent.
fs::path MakeDescriptor(const fs::path& dir) {
  fs::create_symlink(Fixture("demo.img"), dir / "desc-flat.vmdk");
  std::ofstream(dir / "desc.vmdk") << "# Disk DescriptorFile\nversion=1\nCID=5c536bc9\nparentCID=ffffffff\n"
                                      "createType=\"monolithicFlat\"\n\n# Extent description\n"
                                      "RW 96390 FLAT \"desc-flat.vmdk\" 0\n\n# The Disk Data Base\n#DDB\n"
                                      "ddb.adapterType = \"ide\"\n";
  return dir / "desc.vmdk";
}

// A single-file VMDK renamed, beside another file under the name its
// embedded descriptor gives its extent: the renamed file is read.
fs::path MakeRenamedVmdk(const fs::path& dir) {
  fs::copy_file(Fixture("formats/demo.vmdk"), dir / "renamed.vmdk");
  WriteAll(dir / "demo.vmdk", std::vector<std::uint8_t>(65536, 0));
  return dir / "renamed.vmdk";
}

struct Format {
  const char* name;
  const char* type;                   // what the drive list's Type starts with
  fs::path (*make)(const fs::path&);  // the image, made in the test's folder when needed
  bool child = false;                 // holds sector 1 as 0x55 over its parent
};

// Test names in listings say the format, not the record's bytes.
void PrintTo(const Format& f, std::ostream* os) { *os << f.name; }

fs::path Committed(const char* name) { return Fixture(std::string("formats/") + name); }

fs::path Copy(const fs::path& file, const fs::path& dir) {
  fs::copy_file(file, dir / file.filename());
  return dir / file.filename();
}

const Format kFormats[] = {
    {"E01", "EWF: ", [](const fs::path&) { return Committed("demo.E01"); }},
    {"Vmdk", "VMDK: ", [](const fs::path&) { return Committed("demo.vmdk"); }},
    {"VmdkDescriptor", "VMDK: ", MakeDescriptor},
    {"VmdkRenamed", "VMDK: ", MakeRenamedVmdk},
    {"Vhd", "VHD: ", [](const fs::path&) { return Committed("demo.vhd"); }},
    {"Vhdx", "VHDX: ", [](const fs::path&) { return Committed("demo.vhdx"); }},
    {"Qcow2", "QCOW: ", [](const fs::path&) { return Committed("demo.qcow2"); }},
    {"SplitRaw", "SPLIT: ", MakeSplit},
    {"Qcow2Child", "QCOW: ", [](const fs::path&) { return Committed("demo.qcow2"), Committed("child.qcow2"); }, true},
    {"VmdkChild", "VMDK: ", [](const fs::path&) { return Committed("demo.vmdk"), Committed("child.vmdk"); }, true},
};

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Every regular file below dir, relative path to bytes.
std::map<std::string, std::vector<std::uint8_t>> FilesBelow(const fs::path& dir) {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = ReadAll(e.path());
  return files;
}

class ImageFormatTest : public RetrovaTest, public ::testing::WithParamInterface<Format> {};

TEST_P(ImageFormatTest, ReadsAsTheRawDiskDoes) {
  const Format& f = GetParam();
  const fs::path raw = Fixture("demo.img");
  const fs::path image = f.make(TempDir());
  const std::string img = Quoted(image);

  // Type: the format in front of the path; the path column as given.
  const std::vector<std::string> row = Lines(RunCli("drives " + img).out);
  ASSERT_EQ(row.size(), 1u);
  EXPECT_TRUE(row[0].starts_with(std::string("0\t") + f.type)) << row[0];
  EXPECT_TRUE(row[0].ends_with("\t" + image.string())) << row[0];

  const CliRun volumes = RunCli("volumes " + img);
  EXPECT_EQ(volumes.status, 0);
  EXPECT_EQ(volumes.out, RunCli("volumes " + Quoted(raw)).out);
  EXPECT_EQ(Lines(volumes.out).size(), 2u) << volumes.out;

  for (const char* lba : {"63", "80325"}) {
    const CliRun scan = RunCli("scan " + img + " " + lba);
    EXPECT_EQ(scan.status, 0) << lba;
    EXPECT_EQ(scan.out, RunCli("scan " + Quoted(raw) + " " + lba).out) << lba;
    // Copies out are byte for byte those of the raw disk.
    const fs::path from_raw = TempDir() / (std::string("raw-") + lba), from_image = TempDir() / (std::string("img-") + lba);
    const CliRun r1 = RunCli("recover " + Quoted(raw) + " " + lba + " " + Quoted(from_raw));
    const CliRun r2 = RunCli("recover " + img + " " + lba + " " + Quoted(from_image));
    EXPECT_EQ(r2.status, r1.status) << lba;
    EXPECT_EQ(r2.out, r1.out) << lba;
    const auto expected = FilesBelow(from_raw);
    EXPECT_GE(expected.size(), 3u) << lba;
    EXPECT_TRUE(FilesBelow(from_image) == expected) << lba;
  }

  // Every sector, as the clone reads them.
  const fs::path copy = MakeSparseFile("copy.raw", kDemoBytes);
  const CliRun clone = RunCli("clone " + img + " " + Quoted(copy) + " --yes");
  EXPECT_EQ(clone.status, 0);
  EXPECT_NE(clone.out.find("unreadable-as-zeros\t0"), std::string::npos) << clone.out;
  std::vector<std::uint8_t> expected = ReadAll(raw);
  if (f.child) std::fill(expected.begin() + 512, expected.begin() + 1024, 0x55);
  EXPECT_TRUE(ReadAll(copy) == expected);

  // Never a write into the image, not even a clone onto it.
  const std::vector<std::uint8_t> before = ReadAll(image);
  const CliRun onto = RunCli("clone " + Quoted(raw) + " " + img + " --total 8 --yes", "2>&1");
  EXPECT_EQ(onto.status, 1);
  EXPECT_NE(onto.out.find("only ever read"), std::string::npos) << onto.out;
  EXPECT_TRUE(ReadAll(image) == before);
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageFormatTest, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.name); });

// Every writing path of the engine refuses a container, a split image and a
// later part of one, before anything (an undo file included) is made.
TEST_F(RetrovaTest, WritesToImagesAreRefused) {
  const fs::path split = MakeSplit(TempDir());
  const std::vector<fs::path> images = {Committed("demo.E01"), Committed("demo.vmdk"), Committed("demo.vhd"),
                                        Committed("demo.vhdx"), Committed("demo.qcow2"), split,
                                        TempDir() / "split.002", TempDir() / "split.003"};
  const std::vector<std::uint8_t> sector(512, 0xEE);
  for (const fs::path& p : images) {
    SCOPED_TRACE(p.string());
    const std::vector<std::uint8_t> before = ReadAll(p);
    std::string reason;
    PHYDRIVE_INFO* d = OpenImageDrive(p.string(), reason);
    ASSERT_NE(d, nullptr) << reason;
    const std::string why = WriteRefusal(*d);
    EXPECT_TRUE(why.starts_with(p.string() + " is a")) << why;

    headless::Reset();
    EXPECT_EQ(WriteSectors(*d, 0, sector), 0);
    ASSERT_EQ(headless::Boxes().size(), 1u);
    EXPECT_EQ(headless::Boxes()[0].text, why);

    DriveWriter writer(*d);
    EXPECT_FALSE(writer.is_open());
    EXPECT_EQ(writer.error(), why);

    const IoResult direct = sys_WriteAt(p.string(), 0, sector);
    EXPECT_FALSE(direct.ok);
    EXPECT_EQ(sys_LastError(), EROFS);

    CloneRequest clone{};
    clone.source = d;
    clone.destination = d;
    clone.source_start = 0;
    clone.dest_start = 16;
    clone.total = 8;
    EXPECT_EQ(CheckClone(clone), "Destination: " + why);
    WipeRequest wipe{};
    wipe.target = d;
    wipe.total = 8;
    EXPECT_EQ(CheckWipe(wipe), "Target: " + why);

    const UndoWriteOutcome undo = WriteWithUndo(ctx(), *d, {SectorWrite{0, sector, "boot record"}});
    EXPECT_FALSE(undo.ok);
    EXPECT_TRUE(undo.undo_path.empty());
    EXPECT_EQ(undo.error, why);
    UndoFile u;
    u.ranges.push_back(UndoRange{0, sector});
    std::string error;
    EXPECT_FALSE(RestoreUndo(u, *d, error));
    EXPECT_EQ(error, why);

    FreePhyDrive(d);
    EXPECT_TRUE(ReadAll(p) == before);
  }
  // The first part alone on its folder is a plain raw image again, and may be written.
  fs::remove(TempDir() / "split.002");
  fs::remove(TempDir() / "split.003");
  std::string reason;
  PHYDRIVE_INFO* d = OpenImageDrive(split.string(), reason);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(DriveFormat(*d), ImageFormat::Raw);
  EXPECT_EQ(WriteRefusal(*d), "");
  EXPECT_EQ(WriteSectors(*d, 1, sector), 1);
  FreePhyDrive(d);
}

// A damaged container opens with a reason, or reads with read errors: the
// operator always gets a message, the program never a signal.
class DamagedImageTest : public RetrovaTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(DamagedImageTest, GivesAMessage) {
  const std::string name = GetParam();
  const std::vector<std::uint8_t> good = ReadAll(Committed(name.c_str()));
  ASSERT_GT(good.size(), 4096u);

  // The header after its signature overwritten: refused when opened, with the library's reason.
  std::vector<std::uint8_t> smashed = good;
  std::fill(smashed.begin() + 8, smashed.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(good.size() / 2, 262144)), 0xA5);
  const fs::path bad = TempDir() / ("smashed-" + name);
  WriteAll(bad, smashed);
  const CliRun refused = RunCli("drives " + Quoted(bad), "2>&1");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("Could not open " + bad.string() + ":\n"), std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find("cannot be opened"), std::string::npos) << refused.out;

  // Cut to a third: either refused or read with read errors counted.
  const fs::path cut = TempDir() / ("cut-" + name);
  WriteAll(cut, std::span<const std::uint8_t>(good).first(good.size() / 3));
  const CliRun run = RunCli("volumes " + Quoted(cut), "2>&1");
  EXPECT_TRUE(run.status == 0 || run.status == 1 || run.status == 2) << run.status;
  EXPECT_TRUE(run.out.find("Could not open " + cut.string()) != std::string::npos ||
              run.out.find("Rd Err: ") != std::string::npos)
      << run.out;
}

INSTANTIATE_TEST_SUITE_P(Formats, DamagedImageTest,
                         ::testing::Values("demo.E01", "demo.vmdk", "demo.vhd", "demo.vhdx", "demo.qcow2"),
                         [](const auto& info) {
                           std::string n = info.param;
                           return n.substr(n.find('.') + 1);
                         });

// A chunk of an EWF image whose checksum fails is a read error for exactly
// its sectors; everything else reads as before.
TEST_F(RetrovaTest, EwfChecksumErrorsAreReadErrors) {
  std::vector<std::uint8_t> e01 = ReadAll(Committed("demo.E01"));
  std::fill_n(e01.begin() + static_cast<std::ptrdiff_t>(e01.size() / 2), 64, 0);
  const fs::path bad = TempDir() / "flipped.E01";
  WriteAll(bad, e01);
  std::string reason;
  PHYDRIVE_INFO* d = OpenImageDrive(bad.string(), reason);
  ASSERT_NE(d, nullptr) << reason;
  PHYDRIVE_INFO* raw = OpenImageDrive(Fixture("demo.img").string(), reason);
  ASSERT_NE(raw, nullptr);
  std::vector<std::uint8_t> got(1 << 20), want(1 << 20);
  std::uint64_t zeroed = 0, differing = 0;
  for (std::uint64_t lba = 0; lba < d->total_sectors; lba += 2048) {
    const std::uint64_t n = std::min<std::uint64_t>(2048, d->total_sectors - lba);
    ASSERT_EQ(ReadSectors(ctx(), *d, lba, std::span(got).first(n * 512)), 1);
    ASSERT_EQ(ReadSectors(ctx(), *raw, lba, std::span(want).first(n * 512)), 1);
    for (std::uint64_t s = 0; s < n; ++s) {
      const auto g = std::span(got).subspan(s * 512, 512), w = std::span(want).subspan(s * 512, 512);
      if (std::equal(g.begin(), g.end(), w.begin())) continue;
      ++differing;
      if (std::all_of(g.begin(), g.end(), [](std::uint8_t b) { return b == 0; })) ++zeroed;
    }
  }
  // Whole chunks of 64 sectors fail, are counted and come back as zeros;
  // nothing comes back wrong.
  EXPECT_GT(d->read_errors, 0u);
  EXPECT_EQ(d->read_errors % 64, 0u);
  EXPECT_EQ(zeroed, differing);
  EXPECT_LE(differing, d->read_errors);
  EXPECT_EQ(raw->read_errors, 0u);
  FreePhyDrive(d);
  FreePhyDrive(raw);
}

// Images that need other files which cannot be read are refused with the
// reason, never opened as something else and never waited on.
TEST_F(RetrovaTest, ImagesWhoseOtherFilesCannotBeReadAreRefused) {
  const struct {
    const char* says;
    fs::path (*make)(const fs::path& dir);
  } cases[] = {
      {"backing file demo.qcow2, which was not found",
       [](const fs::path& dir) { return Copy(Committed("child.qcow2"), dir); }},
      {"its parent demo.vmdk was not found", [](const fs::path& dir) { return Copy(Committed("child.vmdk"), dir); }},
      // A raw file in the backing file's place: the library reads QCOW backing files only.
      {"is not a QCOW image",
       [](const fs::path& dir) {
         fs::copy_file(Fixture("demo.img"), dir / "demo.qcow2");
         return Copy(Committed("child.qcow2"), dir);
       }},
      // An extent that is a FIFO would block the library's open for good.
      {"as an extent, which is not a file",
       [](const fs::path& dir) {
         const fs::path desc = MakeDescriptor(dir);
         fs::remove(dir / "desc-flat.vmdk");
         EXPECT_EQ(::mkfifo((dir / "desc-flat.vmdk").c_str(), 0600), 0);
         return desc;
       }},
  };
  OpenMainWindow();
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    const fs::path dir = TempDir() / std::to_string(n++);
    fs::create_directories(dir);
    const fs::path image = c.make(dir);
    headless::Reset();
    EXPECT_EQ(AddImageFile(ctx(), image.string()), 0);
    ASSERT_EQ(headless::Boxes().size(), 1u);
    const std::string& text = headless::Boxes()[0].text;
    EXPECT_TRUE(text.starts_with("Could not open " + image.string() + ":\n")) << text;
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
  }
  EXPECT_EQ(ListView_GetItemCount(ctx().phy_list), 0);
}

// "Add File To Data Stream" takes a container as it takes a raw image; raw
// rows keep their path alone as the Type.
TEST_F(RetrovaTest, AddFileToDataStreamShowsTheFormat) {
  OpenMainWindow();
  const fs::path e01 = Committed("demo.E01");
  const fs::path raw = Fixture("demo.img");
  headless::AnswerOpenFile(e01.string());
  headless::AnswerOpenFile(raw.string());
  AddFileToDataStream(ctx());
  AddFileToDataStream(ctx());
  ASSERT_EQ(ListView_GetItemCount(ctx().phy_list), 2);
  EXPECT_EQ(ListView_GetItemText(ctx().phy_list, 0, 1), ("EWF: " + e01.string()).substr(0, 40));
  EXPECT_EQ(ListView_GetItemText(ctx().phy_list, 1, 1), raw.string().substr(0, 40));
  const auto* d = static_cast<const PHYDRIVE_INFO*>(ListView_GetItemData(ctx().phy_list, 0));
  EXPECT_EQ(DriveFormat(*d), ImageFormat::Ewf);
  EXPECT_STREQ(d->firmware, "EWF");
  EXPECT_EQ(d->total_sectors, 96390u);
  EXPECT_TRUE(headless::Boxes().empty());
}

TEST(ImageFormatSniff, SignaturesAtTheirPlaces) {
  auto bytes = [](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
  const std::vector<std::uint8_t> none;
  const struct {
    std::vector<std::uint8_t> head, tail;
    ImageFormat want;
  } cases[] = {
      {bytes(std::string_view("EVF\x09\x0d\x0a\xff\x00\x01", 9)), none, ImageFormat::Ewf},
      {bytes(std::string_view("EVF\x09\x0d\x0a\xff\x01", 8)), none, ImageFormat::Raw},
      {bytes("KDMV\x01"), none, ImageFormat::Vmdk},
      {bytes("# Disk DescriptorFile\nversion=1\n"), none, ImageFormat::Vmdk},
      {bytes("vhdxfile"), none, ImageFormat::Vhdx},
      {bytes("QFI\xfb\x00"), none, ImageFormat::Qcow},
      {bytes("QFI"), none, ImageFormat::Raw},
      {std::vector<std::uint8_t>(512, 0), bytes("conectix"), ImageFormat::Vhd},  // fixed: the footer only
      {bytes("conectix"), none, ImageFormat::Vhd},                               // dynamic cut short: the copy
      {std::vector<std::uint8_t>(512, 0), bytes("xconectix"), ImageFormat::Raw},
      {none, none, ImageFormat::Raw},
  };
  for (const auto& c : cases) EXPECT_EQ(SniffImageFormat(c.head, c.tail), c.want);
}

TEST_F(RetrovaTest, SplitPartsByName) {
  const fs::path dir = TempDir();
  for (const char* n : {"a.001", "a.002", "a.003", "a.005", "b.001", "c.01", "c.02", "d.002", "d.003", "e.0001", "e.002"})
    std::ofstream(dir / n) << "x";
  auto parts = [&](const char* n) {
    std::vector<std::string> names;
    for (const std::string& p : SplitRawParts((dir / n).string())) names.push_back(fs::path(p).filename().string());
    return names;
  };
  EXPECT_EQ(parts("a.001"), (std::vector<std::string>{"a.001", "a.002", "a.003"}));  // a gap ends the set
  EXPECT_TRUE(parts("b.001").empty());                                                // one part: plain raw
  EXPECT_EQ(parts("c.01"), (std::vector<std::string>{"c.01", "c.02"}));
  EXPECT_TRUE(parts("a.002").empty());  // only the first part opens the set
  EXPECT_TRUE(parts("d.002").empty());
  EXPECT_TRUE(parts("e.0001").empty());  // parts are numbered as wide as the first
  EXPECT_TRUE(IsSplitRawPart((dir / "a.003").string()));
  EXPECT_FALSE(IsSplitRawPart((dir / "a.005").string()));
  EXPECT_FALSE(IsSplitRawPart((dir / "d.003").string()));
  EXPECT_FALSE(IsSplitRawPart((dir / "b.001").string()));
}

}  // namespace

// The slow scans' sweep reads through a descriptor of its own where the drive
// is a plain file (so that its read-ahead is its own), and through the
// drive's handle where a library reads the container (a second descriptor
// would read the container's bytes, not the disk's). Either way it reads what
// ReadSectors reads, and closing it leaves the drive's handle open.
TEST_F(RetrovaTest, SweepStreamReadsWhatTheDriveReads) {
  const std::vector<std::pair<fs::path, bool>> drives = {
      {Fixture("demo.img"), true}, {Committed("demo.E01"), false}, {MakeSplit(TempDir()), false}};
  for (const auto& [path, own_descriptor] : drives) {
    SCOPED_TRACE(path.string());
    std::string reason;
    PHYDRIVE_INFO* d = OpenImageDrive(path.string(), reason);
    ASSERT_NE(d, nullptr) << reason;
    const DevHandle stream = sys_OpenStream(d->handle);
    EXPECT_EQ(stream != d->handle, own_descriptor);
    sys_CloseStream(stream, d->handle);

    // Across the split's first cut (at byte 16,777,001) and the end of the disk.
    // Brought chunks are looked at in place on the plain image only, except
    // where they pass its end: those are read, and their errors counted.
    for (const std::uint64_t lba : {std::uint64_t{0}, std::uint64_t{32760}, kDemoBytes / 512 - 8}) {
      std::vector<std::uint8_t> direct(16 * 512), swept(16 * 512, 0xCC), buffer(16 * 512, 0xCC), brought;
      ReadSectors(ctx(), *d, lba, direct);
      bool viewed = false;
      {
        SectorStream sweep(*d);
        sweep.Read(ctx(), lba, swept);
        const SectorStream::Chunk chunk = sweep.Bring(ctx(), lba, buffer);
        viewed = chunk.viewed;
        auto copy = [&] { brought.assign(chunk.bytes.begin(), chunk.bytes.end()); };
        EXPECT_TRUE(ReadViewed(copy));
      }
      EXPECT_TRUE(direct == swept) << "at " << lba;
      EXPECT_TRUE(direct == brought) << "at " << lba;
      EXPECT_EQ(viewed, own_descriptor && lba + 16 <= kDemoBytes / 512) << "at " << lba;
    }
    EXPECT_EQ(d->read_errors, 24u) << "the 8 sectors past the end count on the drive, read any way";
    std::vector<std::uint8_t> after(512);
    EXPECT_EQ(ReadSectors(ctx(), *d, 0, after), 1) << "the drive's handle outlives the stream";
    FreePhyDrive(d);
  }
}
