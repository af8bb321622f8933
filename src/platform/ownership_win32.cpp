// The FTP server's control on Windows. Until the control is wired up, it is
// reported as not available, so a pre tells the user that owner and
// permissions could not be set.
#include <memory>

#include "platform/native.h"

namespace ovpre {

namespace {

class MissingControlFactory final : public OwnershipControlFactory {
 public:
  std::unique_ptr<OwnershipControl> Create() override { return nullptr; }
};

}  // namespace

std::unique_ptr<OwnershipControlFactory> NewServerControlFactory() {
  return std::make_unique<MissingControlFactory>();
}

}  // namespace ovpre
