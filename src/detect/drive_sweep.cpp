#include "detect/drive_sweep.h"

#include <new>

#include "detect/autorun.h"
#include "detect/detect_context.h"
#include "detect/rule_database.h"
#include "detect/shortcut_decoys.h"
#include "platform/common/case_text.h"
#include "platform/common/handler_error.h"

namespace kestrix {

namespace {

bool IsSweptType(DriveType type) {
  return type == DriveType::kRemovable || type == DriveType::kFixed || type == DriveType::kRemote ||
         type == DriveType::kRamDisk;
}

std::string WithOneTrailingBackslash(std::string_view directory) {
  while (directory.ends_with('\\')) directory.remove_suffix(1);
  std::string result(directory);
  result += '\\';
  return result;
}

}  // namespace

DriveSweep::DriveSweep(SweepServices services, const SweepSettings& settings, SweepView& view,
                       SuspectList& list, ProtectedList& protectedList)
    : services_(services), settings_(settings), view_(view), list_(list), protectedList_(protectedList) {}

void DriveSweep::SweepDrives() {
  const DetectContext context{services_.files, services_.folding, services_.pump, list_};
  view_.SetKillVirusEnabled(false);
  list_.Clear();
  if (recovery_ != nullptr) recovery_->Clear();

  const std::string windowsDirectory = services_.volumes.WindowsDirectory();
  const std::string windowsRoot = windowsDirectory + "\\";
  protectedList_.BuildProtectedList(windowsRoot);
  view_.SetTotalProgress(0);

  RuleList rules;
  const auto loadRules = [&]() -> const RuleList& {
    LoadRuleDatabase(services_.files, settings_.ruleDatabasePath, rules);
    return rules;
  };
  for (char letter = settings_.skipFloppies ? 'C' : 'A'; letter <= 'Z'; ++letter) {
    view_.SetTotalProgress((letter - 'A') * 3);
    const std::string driveRoot = std::string{letter, ':', '\\'};
    const std::string autorunPath = driveRoot + "Autorun.inf";
    view_.SetCurrentVirus(driveRoot);
    const DriveType type = services_.volumes.QueryDriveType(driveRoot);
    if (!IsSweptType(type)) continue;
    if (services_.volumes.GetFirstDiskExtent(letter).ExtentLength <= 0) continue;

    RulePass(context, loadRules(), driveRoot, {"!DSKROOT"});
    AnalyseAutorun(context, driveRoot, autorunPath);
    // The label is asked of sticks and shares alone, the drives the shortcut pass looks at.
    const bool labelled = type == DriveType::kRemovable || type == DriveType::kRemote;
    FindShortcutDecoys(context, driveRoot, type,
                       labelled ? services_.volumes.VolumeLabel(letter) : std::string(), recovery_);
    RulePass(context, loadRules(), driveRoot, {"!ALL", "@WinPath", "@SYS32path", "@SYSpath", "@DSKROOT"});
  }

  loadRules();
  int progress = 75;
  const auto directoryPass = [&](const std::string& root, std::initializer_list<std::string_view> tokens) {
    view_.SetCurrentVirus(root);
    RulePass(context, rules, root, tokens);
    view_.SetTotalProgress(progress += 6);
  };
  // "!DSKROOT" also looks in system, "@DSKROOT" does not.
  directoryPass(windowsRoot, {"!ALL", "!WinPath", "@SYS32path", "@SYSpath", "@DSKROOT"});
  directoryPass(windowsRoot + "system32\\", {"!ALL", "@WinPath", "!SYS32path", "@SYSpath", "@DSKROOT"});
  directoryPass(windowsRoot + "system\\", {"!ALL", "@WinPath", "@SYS32path", "!SYSpath", "!DSKROOT"});

  const auto expand = [&](std::string_view macro, const std::string& replacement) {
    view_.SetCurrentVirus(replacement);
    ExpandRuleMacros(services_.folding, rules, macro, replacement);
  };
  expand("<WinPath>", windowsRoot);
  const std::string_view programFiles = TrimControls(settings_.programFilesDirectory);
  expand("<PROGRAM>",
         programFiles.empty()
             ? std::string(TrimControls(TrimControls(windowsDirectory).substr(0, 2))) + "\\Program Files\\"
             : std::string(programFiles) + "\\");
  expand("<TMPROOT>", WithOneTrailingBackslash(services_.volumes.TempDirectory()));
  FixedPathPass(context, rules);

  view_.SetCurrentVirus(kSweepFinished);
  view_.SetTotalProgress(100);
  list_.ShowCount();
  view_.SetKillVirusEnabled(true);
  if (onFinished_) onFinished_();
}

void DriveSweep::RequestSweep() {
  if (running_) {
    requested_ = true;
    return;
  }
  running_ = true;
  // The error is shown where the request came from; requests made meanwhile
  // end with it, and the user scans again when the cause is gone.
  const auto stop = [this] {
    running_ = false;
    requested_ = false;
  };
  try {
    do {
      requested_ = false;
      SweepDrives();
    } while (requested_);
  } catch (const std::bad_alloc&) {
    stop();
    throw HandlerError("There is not enough memory to finish the sweep.");
  } catch (...) {
    stop();
    throw;
  }
  running_ = false;
}

}  // namespace kestrix
