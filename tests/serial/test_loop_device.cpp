// A fixture image attached to a real block device (a read-only loop device):
// the drive list shows it, the search and scans read it as they read the
// file, and no read-only verb changes a byte of either. Runs serially: while
// the device is attached every retrova-cli in the suite would list it.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// What a shell command wrote on stdout, and its exit status.
CliRun Shell(const std::string& cmd) {
  CliRun run;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return run;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) run.out.append(buf, n);
  const int st = ::pclose(p);
  run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return run;
}

std::string Sha256(const std::string& path) {
  const CliRun r = Shell("sha256sum " + Quoted(path) + " 2>/dev/null");
  return r.status == 0 ? r.out.substr(0, 64) : "unreadable: " + path;
}

// A read-only loop device over a file, detached however the test ends.
class LoopDevice {
 public:
  explicit LoopDevice(const std::filesystem::path& file) {
    const CliRun r = Shell("losetup -r -f --show " + Quoted(file) + " 2>&1");
    if (r.status == 0 && r.out.starts_with("/dev/loop")) path_ = r.out.substr(0, r.out.find('\n'));
    else reason_ = r.out.empty() ? "losetup not found" : r.out;
  }
  ~LoopDevice() {
    if (!path_.empty()) Shell("losetup -d " + Quoted(path_) + " 2>&1");
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& path() const { return path_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string path_, reason_;
};

std::vector<std::vector<std::string>> Rows(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::size_t at = 0;
    for (std::size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) f.push_back(line.substr(at, tab - at));
    f.push_back(line.substr(at));
    rows.push_back(f);
  }
  return rows;
}

class LoopDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_ = std::filesystem::temp_directory_path() / ("retrova-loop-" + std::to_string(::getpid()));
    std::filesystem::remove_all(temp_);
    std::filesystem::create_directories(temp_);
  }
  void TearDown() override { std::filesystem::remove_all(temp_); }
  std::filesystem::path temp_;
};

TEST_F(LoopDeviceTest, ReadOnlyVerbsReadTheDeviceAsTheImageAndChangeNeither) {
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  const std::filesystem::path image = Fixture("demo.img");
  const std::string image_hash = Sha256(image);
  LoopDevice loop(image);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device could be attached: " << loop.reason();
  const std::string dev = loop.path();
  ASSERT_EQ(Sha256(dev), image_hash);

  // Listed as a drive with its device path and the image's size, and once only.
  const CliRun drives = RunCli("drives " + Quoted(image));
  ASSERT_EQ(drives.status, 0);
  std::vector<std::string> dev_row, image_row;
  for (const auto& f : Rows(drives.out)) {
    ASSERT_EQ(f.size(), 4u) << drives.out;
    if (f[3] == dev) {
      EXPECT_TRUE(dev_row.empty()) << drives.out;
      dev_row = f;
    }
    if (f[3] == image.string()) image_row = f;
    // No loop device without a file attached is a drive.
    if (f[3].starts_with("/dev/loop")) {
      EXPECT_TRUE(std::filesystem::exists("/sys/block/" + f[3].substr(5) + "/loop/backing_file")) << f[3];
    }
  }
  ASSERT_FALSE(dev_row.empty()) << dev << " not listed:\n" << drives.out;
  ASSERT_FALSE(image_row.empty()) << drives.out;
  EXPECT_EQ(dev_row[2], image_row[2]);
  EXPECT_EQ(dev_row[2], "0.05 GB");

  // The device, by path and by row, gives what the image file gives.
  const std::string qdev = Quoted(dev), qimg = Quoted(image);
  const CliRun volumes = RunCli("volumes " + qimg);
  ASSERT_EQ(volumes.status, 0);
  EXPECT_EQ(Rows(volumes.out).size(), 2u) << volumes.out;
  EXPECT_EQ(RunCli("volumes " + qdev).out, volumes.out);
  EXPECT_EQ(RunCli("volumes " + dev_row[0]).out, volumes.out);
  int dest = 0;
  auto fresh = [&] { return Quoted(temp_ / ("out" + std::to_string(++dest))); };
  for (const char* lba : {"63", "80325"}) {
    for (const std::string& verb :
         {std::string("scan"), std::string("scan --slow"), std::string("verify"), std::string("find --text --deleted"),
          std::string("scan --search")}) {
      SCOPED_TRACE(verb + " at " + lba);
      const CliRun on_image = RunCli(verb + " " + qimg + " " + lba);
      EXPECT_TRUE(on_image.status == 0 || (verb == "verify" && on_image.status == 1)) << on_image.status;
      EXPECT_FALSE(on_image.out.empty());
      const CliRun on_dev = RunCli(verb + " " + qdev + " " + lba);
      EXPECT_EQ(on_dev.status, on_image.status);
      EXPECT_EQ(on_dev.out, on_image.out);
    }
    // Copies and saves out of the device: same rows as from the image.
    for (const std::string opts : {"", " --slow --flat"}) {
      SCOPED_TRACE("recover" + opts + " at " + lba);
      const CliRun on_image = RunCli("recover " + qimg + " " + lba + " " + fresh() + opts);
      const CliRun on_dev = RunCli("recover " + qdev + " " + lba + " " + fresh() + opts);
      EXPECT_EQ(on_image.status, 0);
      EXPECT_EQ(on_dev.status, 0);
      EXPECT_EQ(on_dev.out, on_image.out);
    }
    // A scan saved from the device loads as one saved from the image.
    std::string loaded[2];
    for (int i = 0; i < 2; ++i) {
      const std::string folder = fresh();
      EXPECT_EQ(RunCli("save " + (i ? qdev : qimg) + " " + lba + " " + folder).status, 0);
      const CliRun load = RunCli("scan --load " + Quoted(temp_ / ("out" + std::to_string(dest)) / "Save Scan.qsn") +
                                 " --image " + qimg);
      EXPECT_EQ(load.status, 0);
      loaded[i] = load.out;
    }
    EXPECT_FALSE(loaded[0].empty());
    EXPECT_EQ(loaded[1], loaded[0]);
  }

  EXPECT_EQ(Sha256(dev), image_hash) << "the device changed";
  EXPECT_EQ(Sha256(image), image_hash) << "the image changed";

  // Someone who may not open the device is told so, and how to get access.
  const CliRun denied =
      Shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(RETROVA_CLI_PATH) + " drives 2>&1");
  if (denied.status < 0 || denied.out.find("setpriv:") != std::string::npos) {
    GTEST_SKIP() << "cannot run as nobody: " << denied.out;
  }
  EXPECT_EQ(denied.status, 0) << denied.out;
  EXPECT_EQ(denied.out.find(dev + "\t"), std::string::npos) << denied.out;
  EXPECT_NE(denied.out.find("retrova-cli drives: cannot read "), std::string::npos) << denied.out;
  EXPECT_NE(denied.out.find(dev), std::string::npos) << denied.out;
  EXPECT_NE(denied.out.find(": Permission denied; run as root"), std::string::npos) << denied.out;
}

}  // namespace
