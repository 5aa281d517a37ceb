#include "detect/autorun.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <unordered_set>

#include "detect/file_tests.h"
#include "detect/launched_files.h"
#include "platform/common/case_text.h"
#include "platform/common/windows_path.h"

namespace kestrix {

namespace {

constexpr std::array<std::string_view, 5> kKeys = {
    "icon=", "open=", "command=", "defaulticon=", "shellexecute="};
constexpr std::array<std::string_view, 5> kExtensions = {".exe", ".com", ".pif", ".cmd", ".bat"};
// The keys whose value Windows runs as a command line.
constexpr std::array<std::string_view, 3> kLaunchKeys = {"open=", "command=", "shellexecute="};

// One left-to-right pass replacing `from` by `to`; what it puts in is not
// searched again.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string result;
  result.reserve(text.size());
  std::size_t copied = 0;
  for (std::size_t at = text.find(from); at != std::string_view::npos; at = text.find(from, copied)) {
    result.append(text.substr(copied, at - copied)).append(to);
    copied = at + from.size();
  }
  result.append(text.substr(copied));
  return result;
}

}  // namespace

std::string_view StripArguments(std::string_view text) {
  if (const auto comma = text.find(','); comma != std::string_view::npos) return text.substr(0, comma);
  const auto lastBlank = text.rfind(' ');
  const auto lastDot = text.rfind('.');
  if (lastBlank != std::string_view::npos && lastDot != std::string_view::npos && lastBlank > lastDot) {
    return text.substr(0, lastBlank);
  }
  return text;
}

std::string ResolveLaunchTarget(Files& files, std::string_view name, std::string_view driveRoot) {
  std::string base = name.find(":\\") != std::string_view::npos ? std::string() : std::string(driveRoot);
  base += name;
  // Windows tries the extensions when the file's own name has none, whatever
  // dots its folders hold (.\RECYCLER\INFO, sub.dir\setup).
  const std::string_view fileName = name.substr(name.find_last_of("\\/") + 1);
  if (fileName.find('.') != std::string_view::npos) return base;
  for (const std::string_view extension : kExtensions) {
    std::string candidate = base + std::string(extension);
    if (ExistsAndClearAttributes(files, candidate)) return candidate;
  }
  return base + ".exe";
}

void AnalyseAutorun(const DetectContext& context, std::string_view driveRoot, std::string_view autorunPath) {
  if (!ExistsAndClearAttributes(context.files, autorunPath)) return;
  context.list.AddVirus(autorunPath, kAutorunCategory, "the drive's Autorun.inf, which Windows reads to run programs");

  // What is listed already, spelled alike: a payload may be named as
  // E:\.\x.vbs on one line and x.vbs on another.
  std::unordered_set<std::string> listed;
  const auto spelled = [&](std::string_view path) {
    return LowerText(context.folding, NormalizePathSpelling(path));
  };
  for (const SuspectEntry& entry : context.list.Entries()) listed.insert(spelled(entry.path));
  const std::vector<std::string> bases{std::string(driveRoot)};

  // Read as a stream: a stick may hold an Autorun.inf of gigabytes. A worm
  // may hold its own file open where nothing can read it: the file stays
  // listed, with the reason, and the sweep goes on to the next drive.
  std::string reason;
  const bool read = context.files.ReadTextLines(autorunPath, [&](std::string_view line, std::size_t number) {
    context.pump.PumpMessages();
    // Worms pad keys and section headers with control bytes that Windows'
    // reader skips ("shellexecute\x15\x0C=..."); so does this one.
    std::string text;
    std::ranges::copy_if(TrimControls(line), std::back_inserter(text),
                         [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
    if (text.empty()) return;
    const std::string lineText = text;
    text = ReplaceAll(ReplaceAll(text, " =", "="), "= ", "=");
    bool firstKey = true;
    for (const std::string_view key : kKeys) {
      if (!FindNoCase(context.folding, text, key)) continue;
      // The value runs from the first "=" of the text, wherever the key stood.
      text = text.substr(text.find('=') + 1);
      // What an interpreter on a launch line runs comes after the line's own entry.
      std::optional<std::string> launched;
      if (firstKey && std::ranges::find(kLaunchKeys, key) != kLaunchKeys.end()) launched = text;
      firstKey = false;
      text = std::string(StripArguments(text));
      text = ResolveLaunchTarget(context.files, text, driveRoot);
      const std::string where = "Autorun.inf line " + std::to_string(number) + ", key " + std::string(key);
      if (ExistsAndClearAttributes(context.files, text)) {
        context.list.AddVirus(text, kAutorunCategory, where + ": " + lineText);
        listed.insert(spelled(text));
      }
      if (!launched) continue;
      for (const LaunchedFile& file : FindLaunches(context, *launched, driveRoot, bases, {}).files) {
        if (!listed.insert(spelled(file.path)).second) continue;
        context.list.AddVirus(file.path, kAutorunCategory, where + ", run by " + file.program + ": " + lineText);
      }
    }
  }, reason);
  if (!read) context.list.AddToReason(autorunPath, "it could not be read: " + reason);
}

}  // namespace kestrix
