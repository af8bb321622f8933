// The program's start on Windows. It is a GUI-subsystem program without a
// window, so no console opens when the FTP server starts it; the only thing
// it ever shows is the first-run message.
#include <windows.h>

#include "app/entry.h"
#include "os/win32/process.h"
#include "platform/native.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace ovpre;
  const std::unique_ptr<FileSystem> fs = NewNativeFileSystem();
  const std::unique_ptr<Clock> clock = NewSystemClock();
  const std::unique_ptr<Notifier> notifier = NewNativeNotifier();
  const std::unique_ptr<OwnershipControlFactory> ownership = NewServerControlFactory();
  Win32ProcessFacts process;
  Platform platform{*fs, *clock, process, *notifier, *ownership};
  return RunOnce(platform);
}
