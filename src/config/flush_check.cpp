#include "config/flush_check.h"

#include <memory>

namespace ovpre {

bool RefusesFolderFlush(FileSystem& fs, const std::string& path, std::string* cause) {
  std::unique_ptr<Folder> folder;
  if (!fs.OpenFolder(path, &folder).ok()) return false;
  const FsStatus flushed = folder->Flush();
  if (flushed.ok() && flushed.os_error() == 0) return false;
  *cause = std::to_string(flushed.os_error()) + " " + flushed.os_text();
  return true;
}

}  // namespace ovpre
