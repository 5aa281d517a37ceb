// kestrix-scan run as a user runs it, over real directory trees.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

namespace fs = std::filesystem;

namespace kestrix {
namespace {

struct ScanRun {
  int status = -1;
  std::string out;
  std::string err;
  nlohmann::json Json() const { return nlohmann::json::parse(out); }
};

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class ScanSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrix-scan-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::all, ignored);
    fs::remove_all(root_, ignored);
  }

  fs::path Write(const fs::path& relative, std::string_view content, fs::perms perms = fs::perms::owner_read |
                                                                                       fs::perms::owner_write) {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    fs::permissions(path, perms);
    return path;
  }

  // Runs kestrix-scan with the arguments; `unprivileged` drops root so that
  // file permissions hold (the tree is then handed to that user).
  ScanRun Scan(const std::vector<std::string>& args, bool unprivileged = false) {
    std::string command;
    if (unprivileged && geteuid() == 0) {
      command = "chown -R 65534:65534 " + Quote(root_.string()) + " && chmod 0755 " + Quote(root_.string()) +
                " && setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    command += Quote(KESTRIX_SCAN_EXE);
    for (const std::string& arg : args) command += " " + Quote(arg);
    const fs::path errFile = root_ / "stderr.txt";
    command += " 2>" + Quote(errFile.string());

    ScanRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream errStream(errFile);
    run.err.assign(std::istreambuf_iterator<char>(errStream), {});
    fs::remove(errFile);
    return run;
  }

  std::string Drive(char letter, std::string_view type, const fs::path& relative) {
    fs::create_directories(root_ / relative);
    return std::string{letter} + "=" + std::string(type) + ":" + (root_ / relative).string();
  }

  static std::string ShippedRules() { return std::string(KESTRIX_SOURCE_DIR) + "/data/Kestrix.dat"; }

  fs::path root_;
};

TEST_F(ScanSandbox, ListsAnInfectedStickInSweepOrderAndClearsTheWormsMarks) {
  const auto readOnly = fs::perms::owner_read | fs::perms::group_read;
  Write("stick/AUTORUN.INF",
        "[AutoRun]\r\nopen = RavMonE.exe -s\r\nshellexecute=RavMonE.exe\r\nshell\\Auto\\command=setup\r\n", readOnly);
  Write("stick/ravmone.exe", "MZ worm", readOnly);
  Write("stick/setup.pif", "MZ", readOnly);
  Write("stick/ntdelect.com", "MZ", readOnly);
  Write("stick/Photos/beach.jpg", "holiday");
  Write("rules.dat", "ntdelect.com !DSKROOT 0\r\nRavMonE.exe !ALL 0\r\nsetup.pif !ALL 2\r\nbeach.jpg !ALL 3\r\n");

  const ScanRun run = Scan({"--drive", Drive('E', "removable", "stick"), "--rules", (root_ / "rules.dat").string(),
                            "--json"});
  ASSERT_EQ(run.status, 1) << run.err;
  const auto entries = run.Json()["entries"];
  ASSERT_EQ(entries.size(), 4u) << run.out;
  const std::pair<std::string, std::string> expected[] = {
      {"E:\\ntdelect.com", "病毒"}, {"E:\\Autorun.inf", "危险"}, {"E:\\RavMonE.exe", "危险"}, {"E:\\setup.pif", "危险"}};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i]["number"], i + 1);
    EXPECT_EQ(entries[i]["path"], expected[i].first);
    EXPECT_EQ(entries[i]["category"], expected[i].second);
  }
  for (const char* name : {"AUTORUN.INF", "ravmone.exe", "setup.pif", "ntdelect.com"}) {
    const auto perms = fs::status(root_ / "stick" / name).permissions();
    EXPECT_NE(perms & fs::perms::owner_write, fs::perms::none) << name << " is still read-only";
  }
  EXPECT_TRUE(fs::exists(root_ / "stick/ravmone.exe")) << "a sweep deletes nothing";
}

TEST_F(ScanSandbox, SkipsCdRomsAndReadersWithoutMediaAndReportsAMissingRuleFile) {
  Write("cd/Autorun.inf", "open=setup.exe");
  Write("reader/Autorun.inf", "open=setup.exe");
  Write("stick/Autorun.inf", "open=x.exe");
  Write("stick/x.exe", "MZ");
  const ScanRun run = Scan({"--drive", Drive('D', "cdrom", "cd"), "--drive", Drive('F', "removable@0", "reader"),
                            "--drive", Drive('G', "remote", "stick"), "--rules", (root_ / "none.dat").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "   1  危险  G:\\Autorun.inf\n   2  危险  G:\\x.exe\n病毒數量：2\n");
  EXPECT_NE(run.err.find("no rule database"), std::string::npos) << run.err;
}

TEST_F(ScanSandbox, AnUnreadableAutorunEndsTheSweepWithTheErrorAndWhatWasFound) {
  Write("stick/Autorun.inf", "open=x.exe", fs::perms::owner_write);
  const ScanRun run = Scan({"--drive", Drive('E', "removable", "stick"), "--json", "--rules", "none"}, true);
  EXPECT_EQ(run.status, 2) << run.err;
  const auto json = run.Json();
  EXPECT_FALSE(json["finished"]);
  EXPECT_EQ(json["error"], "Cannot open file \"E:\\Autorun.inf\". Permission denied");
  EXPECT_EQ(json["entries"][0]["path"], "E:\\Autorun.inf");
}

TEST_F(ScanSandbox, RejectsAMalformedDriveMap) {
  for (const char* spec : {"E:/tmp", "E=floppy:/tmp", "EE=fixed:/tmp", "E=fixed@x:/tmp"}) {
    EXPECT_EQ(Scan({"--drive", spec}).status, 2) << spec;
  }
}

// The shipped rules must never flag a genuine Windows file in its genuine place.
TEST_F(ScanSandbox, ShippedRulesFindNothingOnACleanWindowsMachine) {
  std::ifstream list(std::string(KESTRIX_SOURCE_DIR) + "/tests/detect/data/clean_windows_tree.txt");
  ASSERT_TRUE(list) << "the list of clean Windows files is missing";
  int files = 0;
  for (std::string line; std::getline(list, line);) {
    if (line.empty() || line.front() == '#') continue;
    Write(fs::path("C") / line, "MZ genuine");
    ++files;
  }
  ASSERT_GT(files, 100);
  const ScanRun run = Scan({"--drive", Drive('C', "fixed", "C"), "--program-files", "C:\\Program Files",
                            "--rules", ShippedRules(), "--json"});
  EXPECT_EQ(run.status, 0) << run.out;

  // The same machine with a worm on it is not clean.
  Write("C/RavMonE.exe", "MZ");
  EXPECT_EQ(Scan({"--drive", Drive('C', "fixed", "C"), "--rules", ShippedRules()}).status, 1);
}

}  // namespace
}  // namespace kestrix
