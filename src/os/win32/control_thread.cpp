#include "os/win32/control_thread.h"

#include <atomic>
#include <utility>

#include "os/win32/io.h"

namespace ovpre {

namespace {

/// How long the server's control may take in one run: its creation and
/// every call together. A control that has not answered by then is taken
/// for one that never will (the server busy, or waiting on this very run).
constexpr DWORD kControlBudgetMs = 30000;
constexpr const char* kNoAnswer = "the server's control did not answer within 30 s";

/// Set once the control has let the time run out.
std::atomic<bool> g_control_timed_out{false};

}  // namespace

/// What the caller and the thread share; it lives as long as either.
struct ControlThread::Shared {
  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // work waits, or the end
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // the work has ended
  Work work;  // empty: the thread is to end
  ~Shared() {
    if (wake) CloseHandle(wake);
    if (done) CloseHandle(done);
  }
};

ControlThread::ControlThread()
    : shared_(std::make_shared<Shared>()), deadline_(GetTickCount64() + kControlBudgetMs) {
  auto* handed = new std::shared_ptr<Shared>(shared_);
  if (shared_->wake && shared_->done) {
    thread_ = CreateThread(nullptr, 0, &ControlThread::Main, handed, 0, nullptr);
  }
  if (!thread_) {
    failure_ = "the control's thread could not be started: " + SystemMessageText(GetLastError());
    delete handed;
  }
}

ControlThread::~ControlThread() {
  if (!thread_) return;
  if (!g_control_timed_out) {
    shared_->work = nullptr;
    SetEvent(shared_->wake);
    // A thread that has not ended within the time is still in the control,
    // in COM, or in its own end (which waits on the loader lock). The run
    // goes on to its announcement and log line, then returns from main; the
    // usual end of a process would then run the runtime's exit and every
    // DLL's detach while that thread may still be inside one of them, and
    // could wait on it for ever. Taken as a control that did not answer, it
    // has the process end with TerminateProcess instead, which waits for
    // no thread and runs no DLL code.
    if (WaitForSingleObject(thread_, Left()) != WAIT_OBJECT_0) g_control_timed_out = true;
  }
  CloseHandle(thread_);
}

bool ControlThread::Run(Work work) {
  if (!thread_) return false;
  if (g_control_timed_out) {
    failure_ = kNoAnswer;
    return false;
  }
  shared_->work = std::move(work);
  SetEvent(shared_->wake);
  if (WaitForSingleObject(shared_->done, Left()) == WAIT_OBJECT_0) return true;
  g_control_timed_out = true;
  failure_ = kNoAnswer;
  return false;
}

DWORD ControlThread::Left() const {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline_ ? 0 : static_cast<DWORD>(deadline_ - now);
}

DWORD WINAPI ControlThread::Main(void* parameter) {
  const std::unique_ptr<std::shared_ptr<Shared>> owned(
      static_cast<std::shared_ptr<Shared>*>(parameter));
  Shared& shared = **owned;
  for (;;) {
    // A single-threaded apartment delivers calls as window messages, and a
    // control may keep windows of its own.
    const DWORD woke = MsgWaitForMultipleObjects(1, &shared.wake, FALSE, INFINITE, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0 + 1) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      continue;
    }
    Work work = std::move(shared.work);
    if (woke != WAIT_OBJECT_0 || !work) return 0;
    work();
    work = nullptr;  // what it holds goes here, before the caller goes on
    SetEvent(shared.done);
  }
}

bool ServerControlTimedOut() { return g_control_timed_out; }

}  // namespace ovpre
