#pragma once
#include <string>
#include <vector>

namespace ovpre {

/// Tells whether files the program keeps for itself are out of everyone
/// else's reach.
class PrivacyCheck {
 public:
  virtual ~PrivacyCheck() = default;
  /// "" when `folder` is a folder of this program's user that nobody else
  /// may enter, and each of `names` inside it is missing or a plain file of
  /// this program's user that nobody else may open, with one link; else
  /// why not, in a few words. Links are never followed, not even at
  /// `folder` itself.
  virtual std::string WhyNotPrivate(const std::string& folder,
                                    const std::vector<std::string>& names) = 0;
  /// Makes the folder `folder`, whose folder above exists, so that only
  /// this program's user may enter it; "" when made, else why not.
  virtual std::string MakePrivateFolder(const std::string& folder) = 0;
};

}  // namespace ovpre
