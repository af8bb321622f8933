#include "os/posix/lease.h"

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

namespace ovpre {

namespace {

/// The kernel tells a lease holder of a writer with SIGIO, which would end
/// the process; the program asks the lease itself instead (F_GETLEASE), so
/// the signal is of no use and is ignored from the first lease on.
void IgnoreLeaseBreakSignal() {
  static const bool ignored = [] {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGIO, &ignore, nullptr) == 0;
  }();
  static_cast<void>(ignored);
}

}  // namespace

ReadLease::ReadLease(int fd) : fd_(fd) {
  IgnoreLeaseBreakSignal();
  if (fcntl(fd_, F_SETLEASE, F_RDLCK) == 0) {
    held_ = true;
    return;
  }
  const int error = errno;
  if (error == EAGAIN) {
    taken_ = FsStatus(FsStatus::kInUse, error, std::strerror(error));
    return;
  }
  taken_ = FsStatus(FsStatus::kOk, error, std::strerror(error));
}

ReadLease::~ReadLease() { Release(); }

bool ReadLease::Intact() const {
  // While a writer waits, the lease shows what it is to become: none.
  return held_ && fcntl(fd_, F_GETLEASE) == F_RDLCK;
}

void ReadLease::Release() {
  if (!held_) return;
  held_ = false;
  fcntl(fd_, F_SETLEASE, F_UNLCK);
}

}  // namespace ovpre
