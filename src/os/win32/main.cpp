// The program's start on Windows. It is a GUI-subsystem program without a
// window, so no console opens when the FTP server starts it; the only thing
// it ever shows is a message to whoever ran it by hand.
#include <windows.h>

#include "app/entry.h"
#include "os/win32/control_thread.h"
#include "os/win32/process.h"
#include "platform/native.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything else: no "No disk" box for an empty removable drive and
  // no "stopped working" box for a crash inside the server's control. Either
  // would hold up the server's command until somebody clicks it away.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  using namespace ovpre;
  const std::unique_ptr<FileSystem> fs = NewNativeFileSystem();
  const std::unique_ptr<Clock> clock = NewSystemClock();
  const std::unique_ptr<Notifier> notifier = NewNativeNotifier();
  const std::unique_ptr<OwnershipControlFactory> ownership = NewServerControlFactory();
  Win32ProcessFacts process;
  const std::unique_ptr<PrivacyCheck> privacy = NewPrivacyCheck();
  Platform platform{*fs, *clock, process, *notifier, *ownership, privacy.get()};
  const int code = RunOnce(platform);
  // A thread may still be stuck in the server's control; ending the usual
  // way would wait for it (or for the loader lock it holds).
  if (ServerControlTimedOut()) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  return code;
}
