#pragma once
// Who may use what this program keeps for itself: the rights it gives what
// it makes, and the check that a file or folder is its account's alone.
#include <string>
#include <vector>

#include "os/win32/io.h"

namespace ovpre {

/// Security attributes for something new this program makes; null (the
/// rights the folder above hands down) until one of the Make calls builds
/// them.
class NewRights {
 public:
  NewRights() = default;
  NewRights(const NewRights&) = delete;
  NewRights& operator=(const NewRights&) = delete;

  /// Only this program's account, with nothing inherited from above;
  /// `inheritable` hands that entry down to whatever a folder will hold.
  bool MakePrivate(bool inheritable);

  /// For a work folder inside the folder open as `target`: only this
  /// program's account may open the work folder itself, while whatever is
  /// made below it gets what the target hands down, as if made in the
  /// target, so that a release published from there has the rights of one
  /// made in place. False where the target's rights cannot be read or it
  /// hands nothing down (FAT keeps no rights): then the work folder is
  /// best left to take the target's own.
  bool MakeForWorkFolder(HANDLE target);

  SECURITY_ATTRIBUTES* get() { return ready_ ? &attributes_ : nullptr; }

 private:
  bool Finish();

  std::vector<char> acl_;
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
  bool ready_ = false;
};

/// "" when the file or folder open as `handle` (with READ_CONTROL) belongs
/// to this program's account and grants no other account anything (the
/// system and the administrators may open anything anyway); a folder must
/// also have protected rights, or at least hold none handed down from the
/// folders above, so that no change there lets anyone in. Else why not, in
/// a few words about `what`.
std::string WhyNotOwnAndShut(HANDLE handle, const std::string& what, bool folder);

}  // namespace ovpre
