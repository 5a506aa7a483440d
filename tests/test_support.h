// Shared fixtures: a fresh context and headless script per test, temporary files.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/session.h"
#include "platform/headless/headless.h"

// A committed fixture image, tests/fixtures/<name>.gz, decompressed once into
// the build tree; its path. Fails the test when it is missing.
std::filesystem::path Fixture(const std::string& name);
// The text of a committed file under tests/fixtures (an oracle listing).
std::string FixtureText(const std::string& name);

// A run of retrova-cli: its exit status and what it wrote on stdout.
struct CliRun {
  int status = -1;
  std::string out;
};
// Runs retrova-cli with the arguments (shell words); `redirect` says where
// its stderr goes (dropped unless asked for, e.g. "2>&1").
CliRun RunCli(const std::string& args, const char* redirect = "2>/dev/null");
// A path as one shell word.
std::string Quoted(const std::filesystem::path& p);

// Resets the context, the queue and the headless script; builds the main
// window's models and runs its initialisation when init_main is true.
class RetrovaTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Builds dialog 101 and sends it the initialisation message (no loop);
  // the image files join the drives as at start-up.
  void OpenMainWindow(const std::vector<std::string>& images = {});
  // Gives back what the window held, as leaving the program does.
  void CloseMainWindow();
  // Dispatches queued messages until the queue is empty.
  void DrainQueue();
  std::filesystem::path TempDir();
  std::filesystem::path WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes);
  std::filesystem::path MakeSparseFile(const std::string& name, std::uint64_t size);
  AppContext& ctx();

  std::unique_ptr<MainSession> session_;
  std::filesystem::path temp_;
};
