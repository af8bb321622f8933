// The program's start on POSIX systems: wire the real platform to the
// request handling and end when it returns.
#include <sys/resource.h>

#include <cstdio>

#include "app/entry.h"
#include "os/posix/process.h"
#include "platform/native.h"

namespace {

/// A walk holds one folder open per level of the release: allow as many
/// as the system lets this process have.
void RaiseOpenFileLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ovpre;
  RaiseOpenFileLimit();
  const std::unique_ptr<FileSystem> fs = NewNativeFileSystem();
  const std::unique_ptr<Clock> clock = NewSystemClock();
  const std::unique_ptr<Notifier> notifier = NewNativeNotifier();
  const std::unique_ptr<OwnershipControlFactory> ownership = NewServerControlFactory();
  PosixProcessFacts process(argc, argv);
  // Without its own place the program would take "./.ini" for its settings.
  if (!process.Located()) {
    std::fputs("ovpre: cannot tell where this program is (no /proc, and not found by the "
               "name it was started by); nothing done\n", stderr);
    return 1;
  }
  const std::unique_ptr<PrivacyCheck> privacy = NewPrivacyCheck();
  Platform platform{*fs, *clock, process, *notifier, *ownership, privacy.get()};
  return RunOnce(platform);
}
