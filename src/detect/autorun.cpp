#include "detect/autorun.h"

#include <array>

#include "detect/file_tests.h"
#include "platform/common/case_text.h"

namespace kestrix {

namespace {

constexpr std::array<std::string_view, 5> kKeys = {
    "icon=", "open=", "command=", "defaulticon=", "shellexecute="};
constexpr std::array<std::string_view, 5> kExtensions = {".exe", ".com", ".pif", ".cmd", ".bat"};

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
  const bool hasDot = name.find('.') != std::string_view::npos;
  if (hasDot && name.find(":\\") != std::string_view::npos) return std::string(name);
  std::string base(driveRoot);
  base += name;
  if (hasDot) return base;
  for (const std::string_view extension : kExtensions) {
    std::string candidate = base + std::string(extension);
    if (ExistsAndClearAttributes(files, candidate)) return candidate;
  }
  return base + ".exe";
}

void AnalyseAutorun(const DetectContext& context, std::string_view driveRoot, std::string_view autorunPath) {
  if (!ExistsAndClearAttributes(context.files, autorunPath)) return;
  context.list.AddVirus(autorunPath, kAutorunCategory);

  // Read as a stream: a stick may hold an Autorun.inf of gigabytes.
  ReadTextFile(context.files, autorunPath, [&](std::string_view line) {
    context.pump.PumpMessages();
    std::string text(TrimControls(line));
    if (text.empty()) return;
    text = ReplaceAll(ReplaceAll(text, " =", "="), "= ", "=");
    for (const std::string_view key : kKeys) {
      if (!FindNoCase(context.folding, text, key)) continue;
      // The value runs from the first "=" of the text, wherever the key stood.
      text = text.substr(text.find('=') + 1);
      text = std::string(StripArguments(text));
      text = ResolveLaunchTarget(context.files, text, driveRoot);
      if (ExistsAndClearAttributes(context.files, text)) context.list.AddVirus(text, kAutorunCategory);
    }
  });
}

}  // namespace kestrix
