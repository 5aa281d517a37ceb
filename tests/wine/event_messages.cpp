// Each program carries a message, in English and Traditional Chinese, for
// every event id the engine reports, and none for an id without its
// severity bits: Event Viewer looks the id up whole.
//   event_messages PROGRAM...   (host paths, found through Wine's Z:)
#include <windows.h>

#include <cstdio>
#include <string>

#include "remedy/event_reports.h"

namespace {

bool HasMessage(HMODULE module, DWORD id, LANGID language) {
  wchar_t text[1024];
  return FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, id, language,
                        text, 1024, nullptr) != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    std::wstring path = std::wstring(L"Z:") + argv[i];
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    HMODULE program =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    for (const DWORD id : kestrix::kEventIds) {
      for (const LANGID language : {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                    MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL)}) {
        if (HasMessage(program, id, language)) continue;
        std::fprintf(stderr, "FAILED: %ls has no message 0x%08lx in language 0x%x\n", argv[i], id, language);
        ++failures;
      }
      if (HasMessage(program, id & 0xFFFF, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))) {
        std::fprintf(stderr, "FAILED: %ls has message %lu without its severity\n", argv[i], id & 0xFFFF);
        ++failures;
      }
    }
  }
  return failures == 0 ? 0 : 1;
}
