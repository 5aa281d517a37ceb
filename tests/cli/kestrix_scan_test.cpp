// kestrix-scan run as a user runs it, over real directory trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <array>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "support/shell_link_bytes.h"
#include "support/temp_dir.h"

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

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

class ScanSandbox : public ::testing::Test {
 protected:
  fs::path Write(const fs::path& relative, std::string_view content,
                 fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    const fs::path path = root_ / relative;
    testing::WriteFile(path, content);
    fs::permissions(path, perms);
    return path;
  }

  // Runs kestrix-scan with the arguments; `unprivileged` drops root so that
  // file permissions hold (the tree is then handed to that user); `shell`
  // runs first in the same shell (a ulimit, say).
  ScanRun Scan(const std::vector<std::string>& args, bool unprivileged = false, std::string shell = {}) {
    std::string command = shell.empty() ? "" : shell + " && ";
    if (unprivileged && geteuid() == 0) {
      command += "chown -R 65534:65534 " + Quote(root_.string()) + " && chmod 0755 " + Quote(root_.string()) +
                " && setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    // The quarantine's default folder lies in the sandbox.
    command += "env XDG_STATE_HOME=" + Quote((root_ / "state").string()) + " " + Quote(KESTRIX_SCAN_EXE);
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

  testing::TempDir dir_;
  fs::path root_ = dir_.Path();
};

TEST_F(ScanSandbox, ListsAnInfectedStickInSweepOrderAndClearsTheWormsMarks) {
  const auto readOnly = fs::perms::owner_read | fs::perms::group_read;
  Write("stick/AUTORUN.INF",
        "[AutoRun]\r\nopen = RavMonE.exe -s\r\nshellexecute=RavMonE.exe\r\nshell\\Auto\\command=setup\r\n",
        readOnly);
  Write("stick/ravmone.exe", "MZ worm", readOnly);
  Write("stick/setup.pif", "MZ", readOnly);
  Write("stick/ntdelect.com", "MZ", readOnly);
  Write("stick/Photos/beach.jpg", "holiday");
  Write("rules.dat",
        "ntdelect.com !DSKROOT 0\r\nRavMonE.exe !ALL 0\r\nsetup.pif !ALL 2\r\nbeach.jpg !ALL 3\r\n");

  const ScanRun run = Scan(
      {"--drive", Drive('E', "removable", "stick"), "--rules", (root_ / "rules.dat").string(), "--json"});
  ASSERT_EQ(run.status, 1) << run.err;
  const auto entries = run.Json()["entries"];
  ASSERT_EQ(entries.size(), 4u) << run.out;
  const std::array<std::string, 3> expected[] = {
      {"E:\\ntdelect.com", "病毒", "Kestrix.dat line 1: ntdelect.com !DSKROOT 0"},
      {"E:\\Autorun.inf", "危险", "the drive's Autorun.inf, which Windows reads to run programs"},
      {"E:\\RavMonE.exe", "危险", "Autorun.inf line 2, key open=: open = RavMonE.exe -s"},
      {"E:\\setup.pif", "危险", "Autorun.inf line 4, key command=: shell\\Auto\\command=setup"}};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i]["number"], i + 1);
    EXPECT_EQ(entries[i]["path"], expected[i][0]);
    EXPECT_EQ(entries[i]["category"], expected[i][1]);
    EXPECT_EQ(entries[i]["reason"], expected[i][2]);
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
  const ScanRun run =
      Scan({"--drive", Drive('D', "cdrom", "cd"), "--drive", Drive('F', "removable@0", "reader"), "--drive",
            Drive('G', "remote", "stick"), "--rules", (root_ / "none.dat").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "   1  危险  G:\\Autorun.inf  (the drive's Autorun.inf, which Windows reads to run programs)\n"
            "   2  危险  G:\\x.exe  (Autorun.inf line 1, key open=: open=x.exe)\n病毒數量：2\n");
  EXPECT_NE(run.err.find("no rule database"), std::string::npos) << run.err;
}

TEST_F(ScanSandbox, AnUnreadableAutorunIsListedWithItsReasonAndTheSweepFinishes) {
  Write("stick/Autorun.inf", "open=x.exe", fs::perms::owner_write);
  const ScanRun run = Scan({"--drive", Drive('E', "removable", "stick"), "--json", "--rules", "none"}, true);
  EXPECT_EQ(run.status, 1) << run.err;
  const auto json = run.Json();
  EXPECT_TRUE(json["finished"]);
  EXPECT_EQ(json["entries"][0]["path"], "E:\\Autorun.inf");
  EXPECT_TRUE(json["entries"][0]["reason"].get<std::string>().ends_with("it could not be read: Permission denied"))
      << json["entries"][0]["reason"];
}

TEST_F(ScanSandbox, RejectsAMalformedDriveMap) {
  for (const char* mapping : {"E:/tmp", "E=floppy:/tmp", "EE=fixed:/tmp", "E=fixed@x:/tmp"}) {
    EXPECT_EQ(Scan({"--drive", mapping}).status, 2) << mapping;
  }
}

TEST_F(ScanSandbox, CleaningDeletesWhatTheSweepListedAndNothingElse) {
  const auto readOnly = fs::perms::owner_read;
  Write("stick/Autorun.inf", "[autorun]\r\nopen=RavMonE.exe\r\n", readOnly);
  Write("stick/RavMonE.exe", "MZ", readOnly);
  Write("stick/notes.txt", "the owner's");
  Write("outside/precious.exe", "MZ");
  fs::create_symlink(root_ / "outside/precious.exe", root_ / "stick/link.exe");
  Write("rules.dat", "link.exe !ALL 0\r\nnotes.txt\r\n");

  const ScanRun run = Scan({"--drive", Drive('E', "removable", "stick"), "--rules",
                            (root_ / "rules.dat").string(), "--clean", "--json"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto json = run.Json();
  EXPECT_EQ(json["removed"], nlohmann::json({"E:\\RavMonE.exe", "E:\\Autorun.inf"}));
  EXPECT_EQ(json["balloons"], nlohmann::json::parse(R"([{"text":"成功清除 2 個病毒.","kind":1}])"));
  EXPECT_TRUE(json["entries"].empty());
  EXPECT_TRUE(fs::exists(root_ / "stick/notes.txt"));
  EXPECT_TRUE(fs::exists(root_ / "outside/precious.exe")) << "a link leading off the drive is never followed";
  EXPECT_FALSE(fs::exists(root_ / "stick/RavMonE.exe"));
}

TEST_F(ScanSandbox, CleaningAsksBeforeDeletingAWindowsFile) {
  Write("C/WINDOWS/explorer.exe", "MZ");
  Write("C/WINDOWS/system32/explorer.exe", "MZ");
  Write("rules.dat", "explorer.exe !ALL 0\r\n");
  const std::vector<std::string> args = {"--drive", Drive('C', "fixed", "C"), "--rules",
                                         (root_ / "rules.dat").string(), "--clean"};
  auto keep = args;
  keep.push_back("--protected=keep");
  const ScanRun kept = Scan(keep);
  EXPECT_EQ(kept.status, 1) << "a listed file is still there: " << kept.out;
  EXPECT_NE(
      kept.out.find(
          "要保留嗎? 檔案 C:\\WINDOWS\\explorer.exe 是Windows重要檔案。\n清除可能會導致系統無法啟動! 是"),
      std::string::npos)
      << kept.out;
  EXPECT_TRUE(fs::exists(root_ / "C/WINDOWS/explorer.exe"));
  EXPECT_FALSE(fs::exists(root_ / "C/WINDOWS/system32/explorer.exe")) << "not a protected place";

  // Without a terminal to ask on, the file is kept, and the report says so;
  // told to, it goes.
  const ScanRun unasked = Scan(args);
  EXPECT_EQ(unasked.status, 1);
  EXPECT_NE(unasked.out.find("kept: C:\\WINDOWS\\explorer.exe (a protected Windows file; no terminal to ask"),
            std::string::npos)
      << unasked.out;
  EXPECT_TRUE(fs::exists(root_ / "C/WINDOWS/explorer.exe"));
  auto remove = args;
  remove.push_back("--protected=delete");
  EXPECT_EQ(Scan(remove).status, 0);
  EXPECT_FALSE(fs::exists(root_ / "C/WINDOWS/explorer.exe"));

  // Put back only when forced.
  const std::vector<std::string> restore = {"--drive", Drive('C', "fixed", "C"), "--restore", "all"};
  EXPECT_NE(
      Scan(restore).out.find("not restored: 2 C:\\WINDOWS\\explorer.exe (a protected Windows file; --force "
                             "puts it back)"),
      std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "C/WINDOWS/explorer.exe"));
  auto forced = restore;
  forced.push_back("--force");
  EXPECT_EQ(Scan(forced).status, 0);
  EXPECT_TRUE(fs::exists(root_ / "C/WINDOWS/explorer.exe"));
}

// Every file cleaning deletes is kept first, in a form that can neither run
// nor be found, and comes back byte for byte with its attributes.
TEST_F(ScanSandbox, CleaningKeepsEachFileConcealedAndRestoreGivesItBackWhole) {
  const std::string worm = std::string("MZ\x90\0", 4) + "the worm's own body";
  const std::string autorun = "[autorun]\r\nopen=RavMonE.exe\r\n";
  Write("stick/Autorun.inf", autorun);
  Write("stick/RavMonE.exe", worm, fs::perms::owner_read);
  Write("rules.dat", "");
  const std::string drive = Drive('E', "removable", "stick");
  ASSERT_EQ(Scan({"--drive", drive, "--rules", (root_ / "rules.dat").string(), "--clean"}).status, 0);
  EXPECT_FALSE(fs::exists(root_ / "stick/RavMonE.exe"));

  const fs::path store = root_ / "state/kestrix/quarantine";  // the default folder, below XDG_STATE_HOME
  int blobs = 0;
  for (const auto& file : fs::directory_iterator(store)) {
    if (file.path().extension() != ".bin") continue;
    ++blobs;
    const std::string bytes = ReadFile(file.path());
    EXPECT_FALSE(bytes.starts_with("MZ"));
    EXPECT_EQ(bytes.find("the worm's own body"), std::string::npos);
    EXPECT_EQ(bytes.find("RavMonE.exe"), std::string::npos);
  }
  EXPECT_EQ(blobs, 2);
  const auto records = Scan({"--quarantine-list", "--json"}).Json()["records"];
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["path"], "E:\\RavMonE.exe");
  EXPECT_EQ(records[0]["reason"], "Autorun.inf line 2, key open=: open=RavMonE.exe");
  EXPECT_EQ(records[1]["path"], "E:\\Autorun.inf");

  Write("stick/Autorun.inf", "the user's own");
  const ScanRun refused = Scan({"--drive", drive, "--restore", "all"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(
      refused.out.find("not restored: 2 E:\\Autorun.inf (an Autorun.inf goes back to a drive's root only "
                       "when its id is named)"),
      std::string::npos)
      << refused.out;
  EXPECT_NE(Scan({"--drive", drive, "--restore", "2"}).out.find("(a file is already there)"),
            std::string::npos);
  EXPECT_EQ(ReadFile(root_ / "stick/Autorun.inf"), "the user's own") << "replaced only when forced";
  EXPECT_EQ(Scan({"--drive", drive, "--restore", "2", "--force"}).status, 0);
  EXPECT_EQ(ReadFile(root_ / "stick/RavMonE.exe"), worm);
  EXPECT_EQ(ReadFile(root_ / "stick/Autorun.inf"), autorun);
  EXPECT_EQ(fs::status(root_ / "stick/RavMonE.exe").permissions() & fs::perms::owner_write, fs::perms::none)
      << "read-only again";
  EXPECT_NE(fs::status(root_ / "stick/Autorun.inf").permissions() & fs::perms::owner_write, fs::perms::none);

  EXPECT_EQ(Scan({"--drive", drive, "--restore", "1", "--to", "E:\\saved"}).status, 0);
  EXPECT_EQ(ReadFile(root_ / "stick/saved/RavMonE.exe"), worm);
  EXPECT_EQ(Scan({"--purge", "all"}).status, 0);
  for (const auto& file : fs::directory_iterator(store))
    EXPECT_EQ(file.path().filename(), "kestrix.lock") << "left after purging";
  EXPECT_EQ(Scan({"--purge", "1"}).status, 1) << "nothing left to purge";
  EXPECT_EQ(Scan({"--restore", "1", "--purge", "1"}).status, 2);
  EXPECT_EQ(Scan({"--quarantine-list", "--quarantine-limit", "-1"}).status, 2) << "it would wrap around";
}

// Two cleans into one store at once, while a third program lists it over
// and over: every file deleted from a stick comes back whole.
TEST_F(ScanSandbox, CleansSharingAStoreLoseNothing) {
  constexpr int kFiles = 300;
  std::string rules;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "w" + std::to_string(i) + ".exe";
    rules += name + " !DSKROOT 0\r\n";
    Write("e/" + name, "MZ " + std::to_string(i));                            // shared by both sticks
    Write("f/" + name, "MZ " + std::to_string(i % 2 == 0 ? i : i + kFiles));  // or of its own
  }
  Write("rules.dat", rules);
  const fs::path store = root_ / "store";
  const auto clean = [&](char letter, const char* folder) {
    return "env XDG_STATE_HOME=/nonexistent " + Quote(KESTRIX_SCAN_EXE) + " --drive " +
           Quote(Drive(letter, "removable", folder)) + " --rules " + Quote((root_ / "rules.dat").string()) +
           " --quarantine " + Quote(store.string()) + " --clean --json >" + Quote((root_ / folder).string()) +
           ".json 2>&1; echo $? >" + Quote((root_ / folder).string()) + ".rc";
  };
  const std::string list = Quote(KESTRIX_SCAN_EXE) + " --quarantine " + Quote(store.string()) +
                           " --quarantine-list --json >/dev/null";
  const std::string done = Quote((root_ / "e").string()) + ".rc";
  const std::string alsoDone = Quote((root_ / "f").string()) + ".rc";
  const std::string command = "(" + clean('E', "e") + ") & (" + clean('F', "f") + ") & until [ -e " + done +
                              " ] && [ -e " + alsoDone + " ]; do " + list + "; done; wait";
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (const char* folder : {"e", "f"}) {
    EXPECT_EQ(ReadFile(root_ / (std::string(folder) + ".rc")), "0\n")
        << ReadFile(root_ / (std::string(folder) + ".json"));
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / folder), {}), 0) << folder << " was cleaned whole";
  }
  const ScanRun listed = Scan({"--quarantine", store.string(), "--quarantine-list", "--json"});
  EXPECT_EQ(listed.Json()["records"].size(), 2u * kFiles);
  const ScanRun restored =
      Scan({"--drive", Drive('E', "removable", "e"), "--drive", Drive('F', "removable", "f"), "--quarantine",
            store.string(), "--restore", "all"});
  EXPECT_EQ(restored.status, 0) << restored.out;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "w" + std::to_string(i) + ".exe";
    EXPECT_EQ(ReadFile(root_ / "e" / name), "MZ " + std::to_string(i));
    EXPECT_EQ(ReadFile(root_ / "f" / name), "MZ " + std::to_string(i % 2 == 0 ? i : i + kFiles));
  }
}

// A file the quarantine cannot keep is not deleted: the report says why.
TEST_F(ScanSandbox, AFileTheQuarantineCannotKeepStaysAndTheReportSaysWhy) {
  Write("stick/RavMonE.exe", "MZ worm");
  Write("rules.dat", "RavMonE.exe !ALL 0\r\n");
  const std::vector<std::string> args = {"--drive", Drive('E', "removable", "stick"),
                                         "--rules", (root_ / "rules.dat").string(),
                                         "--clean", "--json"};
  auto tiny = args;
  tiny.insert(tiny.end(), {"--quarantine", (root_ / "q").string(), "--quarantine-limit", "4"});
  const ScanRun kept = Scan(tiny);
  EXPECT_EQ(kept.status, 1) << kept.out << kept.err;
  const auto json = kept.Json();
  ASSERT_EQ(json["kept"].size(), 1u) << kept.out;
  EXPECT_EQ(json["kept"][0]["path"], "E:\\RavMonE.exe");
  EXPECT_EQ(json["kept"][0]["reason"], "it could not be kept in the quarantine (" + (root_ / "q").string() +
                                           "): it is larger than the quarantine's limit of 4 bytes");
  EXPECT_EQ(json["balloons"][0]["text"], "還有 1 個病毒未清除,請重試.");
  EXPECT_TRUE(fs::exists(root_ / "stick/RavMonE.exe"));

  auto outright = args;
  outright.push_back("--no-quarantine");
  EXPECT_EQ(Scan(outright).status, 0);
  EXPECT_FALSE(fs::exists(root_ / "stick/RavMonE.exe"));
  EXPECT_FALSE(fs::exists(root_ / "state")) << "nothing kept";
}

// A hostile Autorun.inf names host files off every drive and protected
// files under other spellings: cleaning touches none of them and says
// which listed files it kept.
TEST_F(ScanSandbox, AHostileStickCannotSteerCleaningOffItsList) {
  Write("victim/abs.txt", "host");
  Write("victim/rel.txt", "host");
  const char* protectedFiles[] = {"boot.ini",   "WINDOWS/explorer.exe", "WINDOWS/regedit.exe",
                                  "WINDOWS/hh.exe", "WINDOWS/win.ini",  "WINDOWS/winhelp.exe",
                                  "WINDOWS/system32/userinit.exe"};
  for (const char* file : protectedFiles) Write(fs::path("C") / file, "MZ");
  const std::string spellings[] = {
      "C:\\WINDOWS\\.\\explorer.exe", "C:\\WINDOWS\\regedit.exe.",
      "C:\\WINDOWS\\\\hh.exe",        "C:\\WINDOWS/win.ini",
      "C:\\WINDOWS\\system32\\..\\winhelp.exe", "C:\\\\boot.ini",
      "c:\\windows\\SYSTEM32\\.\\USERINIT.EXE ",  // the blank stays when ",1" is cut off
  };
  std::string autorun = "[autorun]\r\nopen=" + (root_ / "victim").string() + "/x:\\..\\abs.txt\r\n" +
                        "icon=zz:\\..\\victim\\rel.txt\r\n";
  for (const std::string& spelling : spellings) autorun += "open=" + spelling + ",1\r\n";
  Write("stick/Autorun.inf", autorun);
  Write("dir./rules.dat", "# no rules\r\n");  // a host path, used as written

  const ScanRun run = Scan({"--drive", Drive('C', "fixed", "C"), "--drive", Drive('E', "removable", "stick"),
                            "--windows", "C:/WINDOWS", "--rules", (root_ / "dir./rules.dat").string(), "--clean",
                            "--protected=keep", "--json"});
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_EQ(run.err.find("no rule database"), std::string::npos) << run.err;
  const auto json = run.Json();
  EXPECT_EQ(json["removed"], nlohmann::json({"E:\\Autorun.inf"}));
  ASSERT_EQ(json["kept"].size(), std::size(spellings)) << json["kept"];
  for (const auto& kept : json["kept"]) {
    EXPECT_NE(std::ranges::find(spellings, kept["path"].get<std::string>()), std::end(spellings)) << kept;
    EXPECT_EQ(kept["reason"], "a protected Windows file; --protected=keep");
  }
  for (const char* file : protectedFiles) EXPECT_TRUE(fs::exists(root_ / "C" / file)) << file;
  EXPECT_TRUE(fs::exists(root_ / "victim/abs.txt"));
  EXPECT_TRUE(fs::exists(root_ / "victim/rel.txt"));
}

// A Chinese system writes its text in GBK, whose byte pairs are often valid
// UTF-8 as well; a user's own rules may be UTF-8 without a mark. Each line
// is read both ways, and no line changes how another one reads.
TEST_F(ScanSandbox, ReadsChineseTextAsWindowsDoesWhateverTheOtherLines) {
  Write("stick/露.exe", "MZ");
  Write("stick/路.exe", "MZ");
  Write("stick/Autorun.inf", "open=\xC2\xB7.exe\r\n");  // 路 in GBK, and "·" in UTF-8
  const std::string gbkRule = "\xC2\xB6.exe !DSKROOT 0\r\n";  // 露 in GBK, and "¶" in UTF-8
  const std::string gbkComment = "# \xD6\xD0\xCE\xC4\r\n";   // 中文, not UTF-8
  for (const std::string& rules : {gbkRule, gbkComment + gbkRule, std::string("露.exe !DSKROOT 0\r\n")}) {
    Write("rules.dat", rules);
    const ScanRun run = Scan({"--drive", Drive('E', "removable", "stick"), "--rules",
                              (root_ / "rules.dat").string(), "--codepage", "936", "--json"});
    const auto entries = run.Json()["entries"];
    ASSERT_EQ(entries.size(), 3u) << rules << run.out;
    EXPECT_EQ(entries[0]["path"], "E:\\露.exe") << rules;
    EXPECT_EQ(entries[1]["path"], "E:\\Autorun.inf");
    EXPECT_EQ(entries[2]["path"], "E:\\路.exe");
  }
}

// FAT32 holds files of up to 4 GiB and a hostile stick may claim any size:
// the sweep reads the text as a stream, in a few MiB of memory.
TEST_F(ScanSandbox, AHugeAutorunIsSweptInBoundedMemory) {
  Write("stick/worm.exe", "MZ");
  Write("stick/Autorun.inf", "[autorun]\r\nopen=worm.exe\r\n");
  fs::resize_file(root_ / "stick/Autorun.inf", std::uintmax_t{2} << 40);  // sparse: 2 TiB of NULs
  Write("rules.dat", "");
  const ScanRun run = Scan({"--drive", Drive('E', "removable", "stick"), "--rules", (root_ / "rules.dat").string(),
                            "--json"},
                           false, "ulimit -v 262144");
  ASSERT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_EQ(run.Json()["entries"][1]["path"], "E:\\worm.exe");
}

TEST_F(ScanSandbox, NothingIsCleanedAfterASweepThatWasCutShort) {
  Write("stick/a.exe", "MZ");
  Write("rules.dat", "a.exe !DSKROOT 0\r\n", fs::perms::owner_write);
  const ScanRun run = Scan({"--drive", Drive('E', "removable", "stick"), "--rules",
                            (root_ / "rules.dat").string(), "--clean", "--json"},
                           true);
  EXPECT_EQ(run.status, 2) << run.out << run.err;
  EXPECT_TRUE(fs::exists(root_ / "stick/a.exe"));
  EXPECT_FALSE(run.Json().contains("removed"));
}

// A worm that is running cannot be deleted until its process has ended.
TEST_F(ScanSandbox, TerminatingARunningWormLetsTheRepeatedPassDeleteIt) {
  fs::create_directories(root_ / "stick");
  fs::copy_file("/bin/sleep", root_ / "stick/worm.exe");
  Write("rules.dat", "worm.exe !ALL 0\r\n");
  const pid_t worm = fork();
  ASSERT_GE(worm, 0);
  if (worm == 0) {
    const std::string program = (root_ / "stick/worm.exe").string();
    execl(program.c_str(), "worm.exe", "300", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Never leave the worm behind, whatever fails.
  const std::unique_ptr<const pid_t, void (*)(const pid_t*)> reaper(&worm, [](const pid_t* pid) {
    if (kill(*pid, SIGKILL) == 0) waitpid(*pid, nullptr, 0);
  });
  const auto running = [&] {
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(worm) + "/exe", error) == root_ / "stick/worm.exe";
  };
  for (int i = 0; i < 5000 && !running(); ++i) usleep(2000);
  ASSERT_TRUE(running());

  const std::vector<std::string> args = {"--drive", Drive('E', "removable", "stick"),
                                         "--rules", (root_ / "rules.dat").string(),
                                         "--clean", "--json"};
  const ScanRun stays = Scan(args);
  EXPECT_EQ(stays.status, 1) << stays.out;
  EXPECT_EQ(stays.Json()["balloons"][0]["text"], "還有 1 個病毒未清除,請重試.");
  EXPECT_NE(stays.err.find("還有 1 個未清除的病毒,可能已經執行.\n是否終止並清除它們? 否"), std::string::npos)
      << stays.err;
  EXPECT_TRUE(fs::exists(root_ / "stick/worm.exe"));

  auto terminate = args;
  terminate.push_back("--terminate");
  const ScanRun cleaned = Scan(terminate);
  int status = 0;
  EXPECT_EQ(waitpid(worm, &status, WNOHANG), worm) << "the worm still runs";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(cleaned.status, 0) << cleaned.out << cleaned.err;
  EXPECT_EQ(cleaned.Json()["removed"], nlohmann::json({"E:\\worm.exe"}));
  EXPECT_FALSE(fs::exists(root_ / "stick/worm.exe"));
}

// The shipped rules must never flag a genuine Windows file in its genuine place.
TEST_F(ScanSandbox, TheVaccineIsAFolderTheSweepIgnoresAndOnlyWhatItMadeIsTakenAway) {
  Write("stick/Photos/beach.jpg", "holiday");
  const std::string stick = Drive('E', "removable", "stick");
  const fs::path note = root_ / "stick/Autorun.inf/Kestrix/Vaccine.txt";
  for (int time = 0; time < 2; ++time) {
    const ScanRun run = Scan({"--drive", stick, "--immunize", "e:", "--json"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.Json()["immunized"][0]["path"], "E:\\Autorun.inf") << run.out;
    EXPECT_EQ(ReadFile(note).substr(0, 18), "Kestrix made this ");
    EXPECT_EQ(fs::status(note).permissions() & fs::perms::owner_write, fs::perms::none) << "read-only";
  }
  const ScanRun sweep = Scan({"--drive", stick, "--rules", ShippedRules()});
  EXPECT_EQ(sweep.status, 0) << sweep.out;

  Write("stick/Autorun.inf/mine.txt", "the user's");
  ScanRun run = Scan({"--drive", stick, "--unimmunize", "E"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "not unimmunized: E: (E:\\Autorun.inf holds mine.txt, which Kestrix did not put there; "
            "E:\\Autorun.inf left as it is)\n");
  EXPECT_TRUE(fs::exists(root_ / "stick/Autorun.inf/mine.txt"));
  EXPECT_TRUE(fs::exists(note)) << "the note stays";
  fs::remove(root_ / "stick/Autorun.inf/mine.txt");
  ASSERT_EQ(Scan({"--drive", stick, "--immunize", "E:"}).status, 0) << "still Kestrix's folder";
  fs::remove_all(root_ / "stick/Autorun.inf");
  fs::create_directory(root_ / "stick/Autorun.inf");
  run = Scan({"--drive", stick, "--immunize", "E:"});
  EXPECT_EQ(run.status, 1) << "another's folder is not Kestrix's vaccine";
  EXPECT_EQ(run.out,
            "not immunized: E: (E:\\Autorun.inf is a folder Kestrix did not make, which keeps worms out as "
            "well; left as it is)\n");
  fs::remove(root_ / "stick/Autorun.inf");
  ASSERT_EQ(Scan({"--drive", stick, "--immunize", "E:"}).status, 0);
  run = Scan({"--drive", stick, "--unimmunize", "E:"});
  EXPECT_EQ(run.out, "unimmunized: E: (removed E:\\Autorun.inf, Kestrix's folder)\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(fs::exists(root_ / "stick/Autorun.inf"));

  // Refused: a worm's Autorun.inf, a CD-ROM, a stick that cannot be written.
  Write("worm/AUTORUN.INF", "open=x.exe");
  Write("cd/x", "");
  fs::create_directories(root_ / "locked");
  fs::permissions(root_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  run = Scan({"--drive", Drive('F', "removable", "worm"), "--drive", Drive('G', "cdrom", "cd"), "--drive",
              Drive('H', "removable", "locked"), "--immunize", "F:", "--immunize", "G:", "--immunize", "H:"},
             true);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(
      run.out,
      "not immunized: F: (F:\\Autorun.inf is a file, which a worm may have written; left as it is: sweep "
      "and clean the drive first)\n"
      "not immunized: G: (G: is a CD-ROM drive, whose disc cannot be changed)\n"
      "not immunized: H: (H: cannot be written (Permission denied); a read-only or write-protected drive "
      "cannot be immunized)\n");
  EXPECT_EQ(ReadFile(root_ / "worm/AUTORUN.INF"), "open=x.exe");
  EXPECT_TRUE(fs::is_empty(root_ / "locked"));
  EXPECT_EQ(Scan({"--immunize", "12"}).status, 2);
  EXPECT_EQ(Scan({"--immunize", "E:", "--clean"}).status, 2);
}

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

  // ASCII reads the same in every code page.
  std::ifstream rules(ShippedRules(), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(rules), {}};
  EXPECT_TRUE(std::ranges::all_of(bytes, [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
}

// Where Wine and Samba keep the hidden and system marks; "" when none.
std::string DosAttribute(const fs::path& path) {
  char value[64] = {};
  const ssize_t length = ::lgetxattr(path.c_str(), "user.DOSATTRIB", value, sizeof value);
  return length > 0 ? std::string(value, static_cast<std::size_t>(length)) : std::string();
}

void SetDosAttribute(const fs::path& path, std::string_view value) {
  ASSERT_EQ(::lsetxattr(path.c_str(), "user.DOSATTRIB", value.data(), value.size(), 0), 0)
      << path << ": the file system keeps no user attributes";
}

TEST_F(ScanSandbox, CleaningAShortcutWormsStickGivesTheUserTheirFilesBack) {
  using testing::ShellLinkBytes;
  const std::string cmd = "C:\\WINDOWS\\system32\\cmd.exe";
  Write("stick/Photos.lnk", ShellLinkBytes({.target = cmd, .arguments = "/c start \xC2\xA0\\run.vbs&start explorer Photos"}));
  Write("stick/\xC2\xA0/run.vbs", "WScript.Echo", fs::perms::owner_read);
  Write("stick/\xC2\xA0/essay.doc", "the user's");
  Write("stick/Photos/beach.jpg", "holiday");
  Write("stick/Notes.lnk", ShellLinkBytes({.target = "C:\\WINDOWS\\notepad.exe", .arguments = "E:\\todo.txt"}));
  Write("stick/todo.txt", "milk");
  Write("stick/Private/diary.txt", "mine");
  for (const char* hidden : {"Photos", "\xC2\xA0", "\xC2\xA0/run.vbs"}) SetDosAttribute(root_ / "stick" / hidden, "0x6");
  SetDosAttribute(root_ / "stick/Private", "0x2");

  const std::string drive = Drive('E', "removable", "stick");
  // As a user, whom only the write permission lets change the marks.
  const ScanRun run =
      Scan({"--drive", drive, "--rules", (root_ / "none.dat").string(), "--clean", "--json"}, true);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const nlohmann::json report = run.Json();
  EXPECT_EQ(report["removed"], nlohmann::json({"E:\\\xC2\xA0\\run.vbs", "E:\\Photos.lnk"})) << run.out;
  EXPECT_EQ(report["recovered"], nlohmann::json({"E:\\Photos", "E:\\\xC2\xA0"})) << run.out;
  EXPECT_EQ(DosAttribute(root_ / "stick/Photos"), "");
  EXPECT_EQ(DosAttribute(root_ / "stick/\xC2\xA0"), "");
  EXPECT_EQ(DosAttribute(root_ / "stick/Private"), "0x2") << "hidden by the user, not by the worm";
  EXPECT_TRUE(fs::exists(root_ / "stick/Notes.lnk") && fs::exists(root_ / "stick/\xC2\xA0/essay.doc"));

  const ScanRun text = Scan({"--drive", drive, "--rules", (root_ / "none.dat").string(), "--clean"});
  EXPECT_EQ(text.status, 0) << text.out;
  EXPECT_EQ(text.out, "病毒數量：0\n病毒數量：0\n") << "nothing is left to list or show";
}

// Shortcuts a Start menu or a desktop holds, on a stick or a share that
// carries a copy of a clean Windows tree, are no decoys.
TEST_F(ScanSandbox, StartMenuShortcutsOnAStickAreNoDecoys) {
  using testing::ShellLinkBytes;
  std::ifstream list(std::string(KESTRIX_SOURCE_DIR) + "/tests/detect/data/clean_windows_tree.txt");
  ASSERT_TRUE(list) << "the list of clean Windows files is missing";
  for (std::string line; std::getline(list, line);) {
    if (!line.empty() && line.front() != '#') Write(fs::path("tree") / line, "MZ genuine");
  }
  using testing::LinkFields;
  const std::string system32 = "C:\\WINDOWS\\system32\\";
  const std::pair<std::string, LinkFields> shortcuts[] = {
      {"Command Prompt.lnk", {.target = system32 + "cmd.exe", .workingDirectory = "%HOMEDRIVE%%HOMEPATH%"}},
      {"Windows PowerShell.lnk",
       {.target = system32 + "WindowsPowerShell\\v1.0\\powershell.exe",
        .workingDirectory = "%HOMEDRIVE%%HOMEPATH%"}},
      {"Run.lnk", {.target = system32 + "rundll32.exe", .arguments = "shell32.dll,#61"}},
      {"Control Panel.lnk", {.target = system32 + "rundll32.exe", .arguments = "shell32.dll,Control_RunDLL"}},
      {"Windows Script Host.lnk", {.environmentTarget = "%windir%\\system32\\wscript.exe"}},
      {"Notepad.lnk", {.itemTarget = "C:\\WINDOWS\\notepad.exe"}},
      {"Internet Explorer.lnk",
       {.target = "C:\\Program Files\\Internet Explorer\\iexplore.exe", .arguments = "about:blank"}},
      {"Uninstall.lnk",
       {.target = "C:\\WINDOWS\\IsUninst.exe", .arguments = "-f\"C:\\Program Files\\App\\DeIsL1.isu\""}},
      {"Readme.lnk", {.target = "C:\\Program Files\\App\\readme.txt"}},
  };
  for (const auto& [name, fields] : shortcuts) {
    Write(fs::path("tree") / name, ShellLinkBytes(fields));
    Write(fs::path("tree/Documents and Settings/All Users/Start Menu/Programs") / name,
          ShellLinkBytes(fields));
  }
  for (const std::string_view type : {"removable", "remote", "fixed"}) {
    const ScanRun run = Scan({"--drive", Drive('E', type, "tree"), "--rules", ShippedRules(), "--json"});
    EXPECT_EQ(run.status, 0) << type << ": " << run.out;
  }
}

}  // namespace
}  // namespace kestrix
