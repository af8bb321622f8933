// Windows: a private file is a plain file with one link, in a plain folder;
// a reparse point (link, junction, mount point) at either is refused. Both
// belong to this program's account and let no other account in, and the
// folder inherits nothing from the folders above.
#include <windows.h>

#include "os/win32/rights.h"
#include "platform/native.h"

namespace ovpre {

namespace {

/// Opens `path` itself, for its attributes and rights.
FileHandle OpenItself(const std::string& path) {
  return FileHandle(CreateFileW(Win32Path(path).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr));
}

/// "" when the entry open as `handle` is a folder (`folder`) or a plain
/// file with one link, private to this program's account; else why not.
std::string WhyNotPrivateEntry(HANDLE handle, const std::string& what, bool folder) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) {
    return what + " cannot be read (error " + std::to_string(GetLastError()) + ")";
  }
  const DWORD attributes = info.dwFileAttributes;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    return what + (folder ? " is a link or no folder" : " is a link or no plain file");
  }
  if (!folder && info.nNumberOfLinks != 1) return what + " has more than one link";
  return WhyNotOwnAndShut(handle, what, folder);
}

class Win32PrivacyCheck final : public PrivacyCheck {
 public:
  std::string WhyNotPrivate(const std::string& folder,
                            const std::vector<std::string>& names) override {
    const FileHandle opened = OpenItself(folder);
    if (!opened.valid()) {
      return "the folder cannot be opened (error " + std::to_string(GetLastError()) + ")";
    }
    std::string why = WhyNotPrivateEntry(opened.get(), "the folder", true);
    for (auto name = names.begin(); why.empty() && name != names.end(); ++name) {
      const FileHandle file = OpenItself(folder + "\\" + *name);
      if (file.valid()) {
        why = WhyNotPrivateEntry(file.get(), *name, false);
      } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        why = *name + " cannot be opened (error " + std::to_string(GetLastError()) + ")";
      }
    }
    return why;
  }

  std::string MakePrivateFolder(const std::string& folder) override {
    NewRights rights;
    if (!rights.MakePrivate(true)) return "the folder's rights cannot be built";
    if (CreateDirectoryW(Win32Path(folder).c_str(), rights.get()) ||
        GetLastError() == ERROR_ALREADY_EXISTS) {
      return "";
    }
    return "the folder cannot be made (error " + std::to_string(GetLastError()) + ")";
  }
};

}  // namespace

std::unique_ptr<PrivacyCheck> NewPrivacyCheck() { return std::make_unique<Win32PrivacyCheck>(); }

}  // namespace ovpre
