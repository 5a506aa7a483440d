// Where copied-out files land: names from the disk never leave the
// destination, and nothing already there is replaced or followed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "recover/output.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

class OutputTest : public RetrovaTest {
 protected:
  void SetUp() override {
    RetrovaTest::SetUp();
    dest_ = TempDir() / "dest";
    dir_ = OutputDir::Open(dest_.string(), true);
    ASSERT_TRUE(dir_.ok());
  }
  std::string Create(std::string_view name, std::uint64_t suffix = 7) {
    std::string used;
    const int fd = CreateOutputFile(dir_, name, suffix, used);
    if (fd < 0) return "<failed>";
    EXPECT_TRUE(WriteAll(fd, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("new"), 3)));
    ::close(fd);
    return used;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path dest_;
  OutputDir dir_;
};

TEST_F(OutputTest, NamesFromTheDiskStayInsideTheDestination) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain.txt", "plain.txt"},
      {"../../etc/passwd", ".._.._etc_passwd"},
      {"..", "_.."},
      {".", "_."},
      {"", "_"},
      {std::string("a\0b", 3), "a_b"},
      {"caf\xE9", "caf\xC3\xA9"},  // Latin-1 as UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(SafeOutputName(c.in), c.out) << c.in;
  // Over 255 bytes: cut on a character boundary, also with a suffix.
  const std::string long_name(300, '\xE9');
  EXPECT_EQ(SafeOutputName(long_name).size(), 254u);
  EXPECT_EQ(Create(long_name), SafeOutputName(long_name));
  const std::string second = Create(long_name);
  EXPECT_LE(second.size(), kMaxOutputName);
  EXPECT_EQ(second.substr(second.size() - 2), ".7");
  for (const auto& e : fs::directory_iterator(dest_)) EXPECT_EQ(e.path().parent_path(), dest_);
}

TEST_F(OutputTest, ExistingFilesAndLinksAreNeverOpened) {
  std::ofstream(dest_ / "report.txt") << "mine";
  std::ofstream(dest_ / "report.txt.7") << "also mine";
  // A link in the destination, dangling or pointing outside, is a taken name.
  ASSERT_EQ(::symlink((TempDir() / "outside").c_str(), (dest_ / "report.txt.8").c_str()), 0);
  EXPECT_EQ(Create("report.txt"), "report.txt.9");
  EXPECT_EQ(Read(dest_ / "report.txt"), "mine");
  EXPECT_EQ(Read(dest_ / "report.txt.7"), "also mine");
  EXPECT_FALSE(fs::exists(TempDir() / "outside")) << "the link was not followed";
  EXPECT_EQ(Read(dest_ / "report.txt.9"), "new");

  // Folders: the name, then numbered ones while taken; the handle is the new folder's.
  std::string used;
  fs::create_directory(dest_ / "Docs");
  fs::create_directory(dest_ / "Docs.42");
  OutputDir docs = CreateOutputFolder(dir_, "Docs", 42, used);
  ASSERT_TRUE(docs.ok());
  EXPECT_EQ(used, "Docs.43");
  std::string file;
  const int fd = CreateOutputFile(docs, "inner", 0, file);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_TRUE(fs::exists(dest_ / "Docs.43" / "inner"));
}

TEST_F(OutputTest, AFullDiskFailsTheWrite) {
  const int fd = ::open("/dev/full", O_WRONLY);
  if (fd < 0) GTEST_SKIP() << "no /dev/full here";
  const std::vector<std::uint8_t> bytes(4096, 1);
  EXPECT_FALSE(WriteAll(fd, bytes));
  ::close(fd);
}

}  // namespace
