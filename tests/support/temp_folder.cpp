#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace ovpre::test {

namespace {

fs::path P(const std::string& utf8) { return fs::u8path(utf8); }
std::string U(const fs::path& path) { return path.u8string(); }

}  // namespace

TempFolder::TempFolder(const std::string& base) {
  static std::atomic<int> counter{0};
  const fs::path root = base.empty() ? fs::temp_directory_path() : P(base);
  std::random_device seed;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        root / ("ovpre-test-" + std::to_string(seed()) + "-" + std::to_string(counter++));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = U(candidate);
      return;
    }
  }
  ADD_FAILURE() << "cannot create a temporary folder under " << U(root);
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
  std::error_code error;
  // Tests make read-only folders; give rights back before removing.
  for (auto it = fs::recursive_directory_iterator(P(path_), error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_symlink()) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
  }
  fs::remove_all(P(path_), error);
}

std::string TempFolder::operator/(const std::string& name) const { return Join(path_, name); }

std::string Sep() { return std::string(1, static_cast<char>(fs::path::preferred_separator)); }

std::string Join(const std::string& a, const std::string& b) { return a + Sep() + b; }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::error_code error;
  fs::create_directories(P(path).parent_path(), error);
  std::ofstream out(P(path), std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(P(path), std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void RemoveTree(const std::string& path) {
  std::error_code error;
  fs::remove_all(P(path), error);
  ASSERT_FALSE(error) << "cannot remove " << path;
}

void MakeFolders(const std::string& path) {
  std::error_code error;
  fs::create_directories(P(path), error);
  ASSERT_FALSE(error) << "cannot create " << path;
}

bool Exists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(P(path), error));
}

bool IsFolder(const std::string& path) {
  std::error_code error;
  return fs::is_directory(fs::symlink_status(P(path), error));
}

std::string DescribeTree(const std::string& root) {
  if (!IsFolder(root)) return "<no folder>";
  std::vector<std::string> lines;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(P(root), error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const std::string relative = it->path().lexically_relative(P(root)).generic_u8string();
    if (it->is_symlink()) {
      lines.push_back(relative + " -> " + U(fs::read_symlink(it->path())));
    } else if (it->is_directory()) {
      lines.push_back(relative + "/");
    } else {
      lines.push_back(relative + ":" + ReadFile(U(it->path())));
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

std::string OtherDeviceBase() {
#ifdef _WIN32
  // Under Wine the tests map a second drive onto another file system.
  return IsFolder("F:\\") ? "F:\\" : "";
#else
  return IsFolder("/dev/shm") ? "/dev/shm" : "";
#endif
}

}  // namespace ovpre::test
