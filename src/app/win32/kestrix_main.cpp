// kestrix.exe: one instance per desktop. A second start wakes the running
// one and ends; the first lives in the notification area.
#include <windows.h>

#include <objbase.h>

#include <optional>
#include <string>

#include "app/main_window.h"
#include "app/win32/console_window.h"
#include "app/win32/control_ids.h"
#include "app/win32/options_window.h"
#include "app/win32/quarantine_window.h"
#include "platform/win32/win32_event_log.h"
#include "platform/win32/win32_machine.h"
#include "platform/win32/win32_store.h"
#include "remedy/quarantine.h"
#include "settings/scan_settings.h"

namespace {

BOOL CALLBACK MatchRunningInstance(HWND window, LPARAM result) {
  wchar_t className[64] = {};
  wchar_t title[256] = {};
  GetClassNameW(window, className, 64);
  GetWindowTextW(window, title, 256);
  if (!kestrix::IsRunningInstance(kestrix::win32::Narrow(className), kestrix::win32::Narrow(title)))
    return TRUE;
  *reinterpret_cast<HWND*>(result) = window;
  return FALSE;
}

// A running Kestrix: a top-level window of class "Tconsole" whose title
// begins with "Kestrix" (hidden windows count).
HWND FindRunningInstance() {
  HWND found = nullptr;
  EnumWindows(MatchRunningInstance, reinterpret_cast<LPARAM>(&found));
  return found;
}

// The first instance: its windows, the message loop, then the end.
int Run(HINSTANCE instance) {
  kestrix::win32::Win32Machine machine;
  kestrix::win32::Win32ProcessTable processes;
  kestrix::win32::Win32Registry registry;
  // What a removal deletes is kept first: in the machine's store when
  // elevated, else in this user's.
  kestrix::win32::Win32StoreFolder store(kestrix::win32::DefaultQuarantineFolder());
  kestrix::win32::BcryptHashing hashing;
  kestrix::Quarantine quarantine({machine, machine, store, hashing}, kestrix::ReadQuarantineLimit(registry));
  kestrix::win32::Win32EventLog eventLog;
  kestrix::win32::ConsoleWindow console(instance);
  console.Start(machine, processes, registry, quarantine, eventLog);
  // Both windows exist before anything can run the message loop: an error
  // box of the start-up runs the timers, and the settings need the dialog.
  kestrix::win32::OptionsWindow options(instance, console.Handle(), console.BigIcon(), console.Logic(),
                                        registry);
  console.Logic().AttachOptionsDialog(options.Logic());
  // The quarantine window lists the other store as well where it can be
  // read: an elevated program its user's; a program that is not elevated
  // the machine's, which lists nothing unless this user may read it.
  std::optional<kestrix::win32::Win32StoreFolder> otherStore;
  if (const auto otherFolder = kestrix::win32::OtherQuarantineFolder()) otherStore.emplace(*otherFolder);
  std::optional<kestrix::Quarantine> other;
  if (otherStore)
    other.emplace(kestrix::QuarantineServices{machine, machine, *otherStore, hashing},
                  kestrix::ReadQuarantineLimit(registry));
  kestrix::win32::QuarantineWindow quarantineWindow(instance, console.BigIcon(), console.SmallIcon(),
                                                    console.Logic(), machine, quarantine,
                                                    other ? &*other : nullptr, &eventLog);
  console.AttachQuarantine(quarantineWindow.Logic());
  console.Create();

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // The main window's keys: Tab, the Alt letters, Enter and Escape.
    if (IsDialogMessageW(console.Handle(), &message)) continue;
    // The quarantine window's: Tab, the Alt letters, Enter and Escape.
    if (IsDialogMessageW(quarantineWindow.Handle(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  console.Logic().FormDestroy();
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // An empty card reader, or an Autorun.inf naming a drive without media,
  // fails its call instead of stopping the sweep with a "no disk" box. This
  // thread does all the sweeping; programs the shell starts for the user
  // keep the system's own error mode.
  SetThreadErrorMode(GetThreadErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, nullptr);
  if (HWND running = FindRunningInstance()) {
    // The buffer stays until the process ends; the send waits for the answer.
    static kestrix::WakeUpMessage wakeUp = kestrix::MakeWakeUpMessage();
    COPYDATASTRUCT data{wakeUp.dwData, wakeUp.cbData, wakeUp.data.data()};
    SendMessageW(running, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    return 0;
  }

  // The shell's verbs (a file's properties, opening a document) run COM
  // objects on this thread.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  // Everything made on the way is gone before COM ends.
  const int status = Run(instance);
  if (SUCCEEDED(com)) CoUninitialize();
  return status;
}
