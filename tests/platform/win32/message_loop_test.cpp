#include "platform/win32/message_loop.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {
namespace {

int handledMessages = 0;

LRESULT CALLBACK CountingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) ++handledMessages;
  return ::DefWindowProcW(window, message, wParam, lParam);
}

// The sweep's pump and the tray menu's wait both handle the queue this way.
TEST(Win32Messages, PumpHandlesPendingMessagesAndLeavesQuitToTheMainLoop) {
  const struct {
    bool throughMachine;  // Win32Machine::PumpMessages, else DispatchPendingMessages
    int posted;
    bool quit;
  } cases[] = {{true, 2, true},   {true, 1, false}, {false, 0, false},
               {false, 2, false}, {false, 0, true}, {false, 2, true}};
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = CountingProcedure;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"KestrixPumpTest";
  ASSERT_NE(::RegisterClassW(&windowClass), 0);
  const HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, windowClass.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  for (const auto& test : cases) {
    SCOPED_TRACE(testing::Message() << "machine " << test.throughMachine << ", " << test.posted
                                    << " posted, quit " << test.quit);
    handledMessages = 0;
    for (int i = 0; i < test.posted; ++i) ::PostMessageW(window, WM_APP, 0, 0);
    if (test.quit) ::PostQuitMessage(7);

    if (test.throughMachine) {
      Win32Machine().PumpMessages();
    } else {
      EXPECT_EQ(DispatchPendingMessages(), !test.quit);
    }
    EXPECT_EQ(handledMessages, test.posted);
    // The quit waits for the main loop; nothing else is left.
    MSG message{};
    EXPECT_EQ(::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE, test.quit);
    if (test.quit) {
      EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
      EXPECT_EQ(message.wParam, 7u);
    }
  }
  ::DestroyWindow(window);
  ::UnregisterClassW(windowClass.lpszClassName, windowClass.hInstance);
}

}  // namespace
}  // namespace kestrix::win32
