// Holds the store's lock for the store tests, as another program would:
// takes it, sets the mark it is given, says "locked" on its output, and
// releases it when its input ends.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32/win32_store.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  kestrix::win32::Win32StoreFolder store(argv[1]);
  std::string reason;
  const auto lock = store.Lock(std::chrono::seconds(10), reason);
  if (!lock) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    return 1;
  }
  lock->SetMark(std::strtoull(argv[2], nullptr, 10));
  std::puts("locked");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
