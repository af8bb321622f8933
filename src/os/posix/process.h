#pragma once
#include <string>

#include "platform/platform.h"

namespace ovpre {

/// The process facts of a POSIX build: the arguments joined by single
/// spaces, and the executable's place from /proc/self/exe.
class PosixProcessFacts final : public ProcessFacts {
 public:
  PosixProcessFacts(int argc, char** argv);
  std::string RawArguments() override;
  std::string ExecutableFolder() override;
  std::string ExecutableStem() override;

 private:
  std::string raw_;
  std::string folder_;
  std::string stem_;
};

}  // namespace ovpre
