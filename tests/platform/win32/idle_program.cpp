// A program for the process tests to find and end: it only waits. It ends
// by itself after a while, so that one left behind by a crashed test cannot
// keep the Wine server of the test run alive for good.
#include <windows.h>

namespace {
constexpr DWORD kLifetimeMilliseconds = 120'000;
}  // namespace

int main() {
  ::Sleep(kLifetimeMilliseconds);
  return 0;
}
