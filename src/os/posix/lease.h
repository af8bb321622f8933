#pragma once
// Read leases (Linux F_SETLEASE): how the program learns, through the one
// handle it holds, whether anybody else has a file open for writing now or
// starts to open it while the program looks at it.
#include "platform/file_system.h"

namespace ovpre {

/// A read lease on one open file, held while the object lives. The kernel
/// grants it only while nobody has the file open for writing (a writable
/// shared mapping holds such an open too), and marks it broken the moment
/// somebody opens the file for writing or truncates it; that opener waits
/// until the lease is released, so the holder must check often and let go
/// at once. Only the file's owner, or root (CAP_LEASE), may take one, and
/// only on a file system that keeps leases.
class ReadLease {
 public:
  /// Takes the lease on `fd`, a regular file open for reading only.
  explicit ReadLease(int fd);
  ~ReadLease();
  ReadLease(const ReadLease&) = delete;
  ReadLease& operator=(const ReadLease&) = delete;

  /// kOk when the lease is held; kInUse (with EAGAIN) when a writer had
  /// the file open; kOk with the cause in os_error()/os_text() when no
  /// lease could be had for any other reason (not the owner and not root,
  /// a file system without leases), so that nothing about writers is
  /// known.
  const FsStatus& taken() const { return taken_; }

  /// True while the lease is held and nobody has asked to open the file for
  /// writing since it was taken.
  bool Intact() const;

  /// Lets go of the lease now: a writer waiting for it goes on.
  void Release();

 private:
  int fd_;
  bool held_ = false;
  FsStatus taken_;
};

}  // namespace ovpre
