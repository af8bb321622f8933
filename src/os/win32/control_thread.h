#pragma once
// The thread on which the server's control lives, and the time it is given.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace ovpre {

/// The server's control's own thread. COM is set up there (a
/// single-threaded apartment), and the control is made, called and
/// released there only. All work on it together may take 30 s per run; the
/// caller waits for each piece only as long as that allows. A piece that
/// does not end in time is left running: it cannot be stopped safely, so
/// whatever it uses must be shared with it (captured by value) and outlive
/// the caller's interest.
class ControlThread {
 public:
  using Work = std::function<void()>;

  ControlThread();
  ControlThread(const ControlThread&) = delete;
  ControlThread& operator=(const ControlThread&) = delete;
  /// Tells an idle thread to end and waits for it within what is left of
  /// the time; a thread stuck in the control is left alone. A thread that
  /// does not end in time counts as a control that did not answer
  /// (ServerControlTimedOut).
  ~ControlThread();

  /// Runs `work` on the thread and waits for it within the time left.
  /// False when it could not be run or did not end in time, and then
  /// Failure() says why; once the time has run out every call is false.
  bool Run(Work work);

  const std::string& Failure() const { return failure_; }

 private:
  struct Shared;
  static DWORD WINAPI Main(void* parameter);
  DWORD Left() const;

  std::shared_ptr<Shared> shared_;
  HANDLE thread_ = nullptr;
  ULONGLONG deadline_;
  std::string failure_;
};

/// True once the server's control has not answered in time, or its thread
/// has not ended in time: a thread may still be running in it, so the
/// process must end without waiting for it (TerminateProcess), after the run
/// has replied and logged everything.
bool ServerControlTimedOut();

}  // namespace ovpre
