// Process facts, the clock and the notice on POSIX systems.
#include "os/posix/process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <vector>

#include "os/posix/io.h"
#include "platform/native.h"

namespace ovpre {

namespace {

/// `path` with every link and "." or ".." resolved, when it names a file
/// that may be run; "" otherwise.
std::string RunnableFile(const std::string& path) {
  std::string resolved;
  struct stat st {};
  if (!ResolvePath(path, &resolved).ok() || stat(resolved.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode) || access(resolved.c_str(), X_OK) != 0) {
    return "";
  }
  return resolved;
}

/// Where the running program is. /proc tells; without it (in a chroot)
/// the name it was started by does: a path made absolute, or a bare name
/// looked up in PATH as the shell did. "" when neither tells.
std::string ExecutablePath(const char* argv0) {
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", &path[0], path.size());
  if (length > 0 && static_cast<std::size_t>(length) < path.size()) {
    path.resize(static_cast<std::size_t>(length));
    return path;
  }
  const std::string name = argv0 ? argv0 : "";
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return RunnableFile(name);
  const char* search = getenv("PATH");
  std::string folders = search ? search : "";
  for (std::size_t start = 0; start <= folders.size();) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    // An empty entry is the current folder, as for the shell.
    const std::string folder = end == start ? "." : folders.substr(start, end - start);
    const std::string found = RunnableFile(folder + "/" + name);
    if (!found.empty()) return found;
    start = end + 1;
  }
  return "";
}

class SystemClock final : public Clock {
 public:
  LocalDate Today() override { return Now().date; }

  LocalDateTime Now() override {
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    LocalDateTime result;
    result.date = LocalDate{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
    result.hour = local.tm_hour;
    result.minute = local.tm_min;
    result.second = local.tm_sec;
    return result;
  }

  uint64_t Milliseconds() override {
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  }

  void Sleep(uint64_t milliseconds) override {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
  }
};

/// Nobody waits at a message box here: the notice goes to standard error,
/// a report to standard output.
class StderrNotifier final : public Notifier {
 public:
  void ShowMessage(const std::string& text) override { std::cerr << text << '\n'; }
  void ShowReport(const std::vector<std::string>& lines) override {
    for (const std::string& line : lines) std::cout << line << '\n';
    std::cout.flush();
  }
};

}  // namespace

PosixProcessFacts::PosixProcessFacts(int argc, char** argv) {
  // The server passes the six fields as one argument; joining the arguments
  // with single spaces also serves a person typing them by hand.
  for (int i = 1; i < argc; ++i) {
    if (i > 1) raw_ += ' ';
    raw_ += argv[i];
  }
  const std::string exe = ExecutablePath(argc > 0 ? argv[0] : nullptr);
  located_ = !exe.empty();
  const std::size_t cut = exe.find_last_of('/');
  folder_ = cut == std::string::npos ? "." : exe.substr(0, cut);
  stem_ = cut == std::string::npos ? exe : exe.substr(cut + 1);
  const std::size_t dot = stem_.find_last_of('.');
  if (dot != std::string::npos && dot > 0) stem_.resize(dot);
}

std::string PosixProcessFacts::RawArguments() { return raw_; }
std::string PosixProcessFacts::ExecutableFolder() { return folder_; }
std::string PosixProcessFacts::ExecutableStem() { return stem_; }

std::unique_ptr<Clock> NewSystemClock() { return std::make_unique<SystemClock>(); }

std::unique_ptr<Notifier> NewNativeNotifier() {
  return std::make_unique<StderrNotifier>();
}

}  // namespace ovpre
