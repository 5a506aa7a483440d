#include "test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/main_window.h"
#include "app/session.h"
#include "app/status.h"
#include "scan/tree.h"
#include "volume/logdrive.h"
#include "disk/drive_list.h"
#include "disk/phydrive.h"
#include "platform/sysio.h"

void RetrovaTest::SetUp() {
  ResetAppContext();
  ClearQueue();
  headless::Reset();
  sys_SetReadFaultHook(nullptr);
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  temp_ = std::filesystem::temp_directory_path() /
          ("retrova-test-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
  std::filesystem::remove_all(temp_);
  std::filesystem::create_directories(temp_ / "sysfs");
  std::filesystem::create_directories(temp_ / "dev");
  // Never enumerate this machine's real drives in a test.
  CurrentDriveSource() = DriveSource{(temp_ / "sysfs").string(), (temp_ / "dev").string()};
}

void RetrovaTest::CloseMainWindow() {
  if (session_) {
    session_.reset();
  } else {
    FreeAllLogDrives();  // records a test made without a window
  }
}

void RetrovaTest::TearDown() {
  CloseMainWindow();
  ClearQueue();
  sys_SetReadFaultHook(nullptr);
  CurrentDriveSource() = DriveSource{};
  std::error_code ec;
  std::filesystem::remove_all(temp_, ec);
}

void RetrovaTest::OpenMainWindow(const std::vector<std::string>& images) {
  session_ = std::make_unique<MainSession>(images);
  ASSERT_TRUE(session_->dialog());
  session_->Open();
}

void RetrovaTest::DrainQueue() {
  for (int guard = 0; guard < 100000 && DispatchNext(); ++guard) {
  }
}

std::filesystem::path RetrovaTest::TempDir() { return temp_; }

std::filesystem::path RetrovaTest::WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  const auto path = temp_ / name;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::filesystem::path RetrovaTest::MakeSparseFile(const std::string& name, std::uint64_t size) {
  const auto path = temp_ / name;
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (fd >= 0) {
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) ADD_FAILURE() << "ftruncate failed";
    ::close(fd);
  }
  return path;
}

AppContext& RetrovaTest::ctx() { return App(); }

std::filesystem::path Fixture(const std::string& name) {
  const std::filesystem::path src = std::filesystem::path(RETROVA_FIXTURES) / (name + ".gz");
  const std::filesystem::path dst = std::filesystem::path(RETROVA_FIXTURE_CACHE) / name;
  if (!std::filesystem::exists(src)) {
    ADD_FAILURE() << "missing fixture " << src;
    return dst;
  }
  std::error_code ec;
  if (!std::filesystem::exists(dst) ||
      std::filesystem::last_write_time(dst, ec) < std::filesystem::last_write_time(src, ec)) {
    std::filesystem::create_directories(dst.parent_path());
    // Unpack to a private name first: tests run in parallel processes.
    const std::string tmp = dst.string() + ".tmp" + std::to_string(::getpid());
    const std::string cmd = "gzip -dc '" + src.string() + "' > '" + tmp + "'";
    if (std::system(cmd.c_str()) != 0) {
      ADD_FAILURE() << "cannot unpack " << src;
      return dst;
    }
    std::filesystem::rename(tmp, dst);
  }
  return dst;
}

std::string FixtureText(const std::string& name) {
  std::ifstream in(std::filesystem::path(RETROVA_FIXTURES) / name);
  if (!in) ADD_FAILURE() << "missing fixture text " << name;
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

CliRun RunCli(const std::string& args, const char* redirect) {
  CliRun run;
  std::string cmd = std::string(RETROVA_CLI_PATH) + " " + args + " " + redirect;
#ifdef RETROVA_SANITIZE_CHILDREN
  // The child's sanitizer reports go to a file of ours: its stderr is often
  // dropped, and a report must fail the test that ran it.
  const std::string log = (std::filesystem::temp_directory_path() / ("retrova-cli-san-" + std::to_string(::getpid()))).string();
  cmd = "ASAN_OPTIONS=\"$ASAN_OPTIONS:log_path=" + log + "\" UBSAN_OPTIONS=\"$UBSAN_OPTIONS:log_path=" + log + "\" " + cmd;
#endif
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return run;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) run.out.append(buf, n);
  const int st = ::pclose(p);
  run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
#ifdef RETROVA_SANITIZE_CHILDREN
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(log).parent_path(), ec)) {
    if (!e.path().filename().string().starts_with(std::filesystem::path(log).filename().string() + ".")) continue;
    std::ifstream in(e.path());
    std::stringstream report;
    report << in.rdbuf();
    ADD_FAILURE() << "sanitizer report from retrova-cli " << args << ":\n" << report.str();
    std::filesystem::remove(e.path(), ec);
  }
#endif
  return run;
}

std::string Quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }
