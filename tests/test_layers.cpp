// The layering check that runs before every build: what it must reject.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class LayerCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("retrova-layers-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    Write("layers.txt",
          "layer base   base/\n"
          "layer data   mid/records\n"
          "layer top    mid/ top/\n"
          "forbid data  base/window\n"
          "only top/    base/ top/\n"
          "exempt       top/main.cpp\n");
    Write("base/window.h", "#pragma once\n");
    Write("base/bytes.h", "#pragma once\n");
    Write("mid/records.h", "#pragma once\n#include \"base/bytes.h\"\n");
    Write("mid/tree.h", "#pragma once\n#include \"mid/records.h\"\n");
    Write("mid/tree.cpp", "#include \"mid/tree.h\"\n");
    Write("top/main.cpp", "#include \"mid/tree.h\"\n");
  }
  void TearDown() override { fs::remove_all(root_); }

  void Write(const std::string& rel, const std::string& text) {
    fs::create_directories((root_ / rel).parent_path());
    std::ofstream(root_ / rel) << text;
  }
  // The checker's exit status and what it printed.
  std::pair<int, std::string> Check() {
    const std::string cmd = std::string(RETROVA_CHECK_LAYERS_PATH) + " " + root_.string() + " " +
                            (root_ / "layers.txt").string() + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    const int status = p ? ::pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
  }

  fs::path root_;
};

TEST_F(LayerCheckTest, AcceptsDownwardIncludesAndRejectsEveryBreach) {
  EXPECT_EQ(Check().first, 0) << Check().second;

  struct Case {
    const char* what;
    const char* file;
    const char* text;
    const char* message;
  } cases[] = {
      {"an include of a higher layer", "mid/records.cpp", "#include \"mid/tree.h\"\n",
       "mid/records.cpp (data) includes mid/tree.h (top)"},
      {"a forbidden module", "mid/records.cpp", "#include \"base/window.h\"\n", "may not include base/window.h"},
      {"a folder outside its allowed ones", "top/view.cpp", "#include \"mid/tree.h\"\n", "not mid/tree.h"},
      {"a file in no layer", "mid/sub/x.cpp", "", "mid/sub/x.cpp is in no layer"},
      {"two modules including each other", "mid/list.h", "#pragma once\n#include \"mid/tree.h\"\n",
       "include cycle among modules: mid/list mid/tree"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Write(c.file, c.text);
    if (std::string(c.file) == "mid/list.h") Write("mid/tree.cpp", "#include \"mid/tree.h\"\n#include \"mid/list.h\"\n");
    const auto [status, out] = Check();
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    fs::remove(root_ / c.file);
    SetUp();  // back to the clean tree
  }
}

}  // namespace
