#pragma once
#include <string>

namespace ovpre::test {

/// A fresh folder that is removed with everything in it when the object goes.
class TempFolder {
 public:
  /// Creates the folder under `base`, or under the system's temporary
  /// folder when `base` is empty.
  explicit TempFolder(const std::string& base = "");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  /// `path()` joined with `name` by the native separator.
  std::string operator/(const std::string& name) const;

 private:
  std::string path_;
};

/// The native separator as text.
std::string Sep();

/// Joins path parts with the native separator.
std::string Join(const std::string& a, const std::string& b);

/// Writes `bytes` to a file, creating parent folders; fails the test on error.
void WriteFile(const std::string& path, const std::string& bytes);

/// The whole content of a file, or "<missing>" when it cannot be read.
std::string ReadFile(const std::string& path);

void MakeFolders(const std::string& path);
/// Removes `path` and everything in it; nothing when it is missing.
void RemoveTree(const std::string& path);
bool Exists(const std::string& path);
bool IsFolder(const std::string& path);

/// Every file and folder under `root` as "relative/path" lines, folders
/// marked with a trailing "/", files followed by ":" and their content;
/// sorted, so two trees can be compared as text.
std::string DescribeTree(const std::string& root);

/// A folder on a different file system from the system's temporary folder,
/// or "" when there is none (on Linux /dev/shm, which is tmpfs).
std::string OtherDeviceBase();

}  // namespace ovpre::test
