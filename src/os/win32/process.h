#pragma once
#include <string>

#include "platform/platform.h"

namespace ovpre {

/// The arguments part of a Windows command line: what follows the program
/// name and the spaces and tabs after it, exactly as written. The program
/// name runs to the next space or tab, or, when it starts with a quote, up
/// to and including the closing quote. A line whose unquoted first word
/// holds a "|" has no program name: all of it is the arguments.
std::wstring ArgumentsOf(const std::wstring& command_line);

/// The folder and the file name without extension of the program file
/// `module_path`. The folder keeps its "\" only when it is a drive root.
void SplitModulePath(const std::wstring& module_path, std::wstring* folder,
                     std::wstring* stem);

/// The process facts of a Windows build, from GetCommandLineW and
/// GetModuleFileNameW.
class Win32ProcessFacts final : public ProcessFacts {
 public:
  Win32ProcessFacts();
  std::string RawArguments() override { return raw_; }
  std::string ExecutableFolder() override { return folder_; }
  std::string ExecutableStem() override { return stem_; }

 private:
  std::string raw_;
  std::string folder_;
  std::string stem_;
};

}  // namespace ovpre
