#include "platform/win32/message_loop.h"

#include <windows.h>

namespace kestrix::win32 {

bool DispatchPendingMessages() {
  MSG message{};
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Taking WM_QUIT off the queue would swallow it; the main loop must
      // still see it to end the program.
      ::PostQuitMessage(static_cast<int>(message.wParam));
      return false;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return true;
}

}  // namespace kestrix::win32
