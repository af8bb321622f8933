// Windows: a private file is a plain file with one link, in a plain folder;
// a reparse point (link, junction, mount point) at either is refused.
#include <windows.h>

#include "os/win32/text.h"
#include "platform/native.h"

namespace ovpre {

namespace {

/// The attributes of `path` itself, and its link count for a file.
bool Look(const std::string& path, DWORD* attributes, DWORD* links) {
  const HANDLE handle = CreateFileW(
      WideFromUtf8(path).c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(handle, &info) != FALSE;
  CloseHandle(handle);
  *attributes = info.dwFileAttributes;
  *links = info.nNumberOfLinks;
  return ok;
}

class Win32PrivacyCheck final : public PrivacyCheck {
 public:
  std::string WhyNotPrivate(const std::string& folder,
                            const std::vector<std::string>& names) override {
    DWORD attributes = 0;
    DWORD links = 0;
    if (!Look(folder, &attributes, &links)) {
      return "the folder cannot be opened (error " + std::to_string(GetLastError()) + ")";
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return "the folder is a link or no folder";
    }
    for (const std::string& name : names) {
      if (!Look(folder + "\\" + name, &attributes, &links)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) continue;
        return name + " cannot be opened (error " + std::to_string(error) + ")";
      }
      if (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        return name + " is a link or no plain file";
      }
      if (links != 1) return name + " has more than one link";
    }
    return "";
  }
};

}  // namespace

std::unique_ptr<PrivacyCheck> NewPrivacyCheck() { return std::make_unique<Win32PrivacyCheck>(); }

}  // namespace ovpre
