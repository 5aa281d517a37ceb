// Holds the store's lock for the store tests, as another program would:
// takes it, sets the mark it is given, signals the event the tests wait on,
// and lets go when they signal the other (or after a minute).
//   store_lock_holder FOLDER MARK
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32/win32_store.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const HANDLE locked = ::CreateEventW(nullptr, TRUE, FALSE, L"kestrix-store-test-locked");
  const HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, L"kestrix-store-test-release");
  kestrix::win32::Win32StoreFolder store(argv[1]);
  std::string reason;
  const auto lock = store.Lock(std::chrono::seconds(10), reason);
  if (!lock) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    return 1;
  }
  lock->SetMark(std::strtoull(argv[2], nullptr, 10));
  ::SetEvent(locked);
  ::WaitForSingleObject(release, 60000);
  return 0;
}
