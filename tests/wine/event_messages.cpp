// Checks that each program carries a message for every event id the engine
// reports, in English and Traditional Chinese, with an insert for each
// string the engine passes, and none for an id stripped of its severity
// bits (Event Viewer looks the id up whole). Prints the English texts.
//   event_messages PROGRAM...   (Windows paths, or host paths, found through Z:)
#include <windows.h>

#include <cstdio>
#include <string>

#include "remedy/event_reports.h"

namespace {

// How many strings the engine passes with each event.
struct Expected {
  DWORD id;
  int inserts;
};
constexpr Expected kExpected[] = {{kestrix::kEventSweepFound, 4},      {kestrix::kEventFileRemoved, 3},
                                  {kestrix::kEventFileQuarantined, 4}, {kestrix::kEventFileLeftOver, 3},
                                  {kestrix::kEventFileRestored, 3},    {kestrix::kEventSweepFailed, 1}};

std::wstring Message(HMODULE module, DWORD id, WORD language) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, module,
      id, MAKELANGID(language, language == LANG_CHINESE ? SUBLANG_CHINESE_TRADITIONAL : SUBLANG_ENGLISH_US),
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", length);
  LocalFree(text);
  return message;
}

bool HasInserts(const std::wstring& message, int inserts) {
  for (int i = 1; i <= inserts + 1; ++i) {
    const bool found = message.find(L"%" + std::to_wstring(i)) != std::wstring::npos;
    if (found != (i <= inserts)) return false;
  }
  return true;
}

// ctest passes host paths; Wine's drive Z: is the host's root.
std::wstring WindowsPath(std::wstring path) {
  if (!path.starts_with(L"/")) return path;
  for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
  return L"Z:" + path;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  static_assert(std::size(kExpected) == std::size(kestrix::kEventIds));
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    const std::wstring path = WindowsPath(argv[i]);
    HMODULE program =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (program == nullptr) {
      std::fprintf(stderr, "FAILED: %ls cannot be loaded (error %lu)\n", argv[i], GetLastError());
      return 1;
    }
    for (const Expected& event : kExpected) {
      for (const WORD language : {WORD{LANG_ENGLISH}, WORD{LANG_CHINESE}}) {
        const std::wstring message = Message(program, event.id, language);
        if (!HasInserts(message, event.inserts)) {
          std::fprintf(stderr, "FAILED: %ls: event %lu (0x%08lx), language %u: \"%ls\" (error %lu)\n",
                       argv[i], event.id & 0xFFFF, event.id, language, message.c_str(), GetLastError());
          ++failures;
        } else if (language == LANG_ENGLISH) {
          std::printf("%ls: %lu: %ls", argv[i], event.id & 0xFFFF, message.c_str());
        }
      }
      if (!Message(program, event.id & 0xFFFF, LANG_ENGLISH).empty()) {
        std::fprintf(stderr, "FAILED: %ls: event %lu has a message without its severity\n", argv[i],
                     event.id & 0xFFFF);
        ++failures;
      }
    }
    FreeLibrary(program);
  }
  return failures == 0 ? 0 : 1;
}
