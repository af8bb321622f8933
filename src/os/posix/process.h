#pragma once
#include <string>

#include "platform/platform.h"

namespace ovpre {

/// The process facts of a POSIX build: the arguments joined by single
/// spaces, and the executable's place from /proc/self/exe, or without /proc
/// from the name the program was started by.
class PosixProcessFacts final : public ProcessFacts {
 public:
  PosixProcessFacts(int argc, char** argv);
  std::string RawArguments() override;
  std::string ExecutableFolder() override;
  std::string ExecutableStem() override;
  /// False when the executable's place could not be told: then there is no
  /// settings file to read, and the run must do nothing.
  bool Located() const { return located_; }

 private:
  std::string raw_;
  std::string folder_;
  std::string stem_;
  bool located_ = false;
};

}  // namespace ovpre
