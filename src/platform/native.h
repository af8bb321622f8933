#pragma once
#include <memory>

#include "platform/file_system.h"
#include "platform/platform.h"

namespace ovpre {

// The real implementations of the platform interfaces, one set per operating
// system; the build picks the files that define them.

std::unique_ptr<FileSystem> NewNativeFileSystem();
std::unique_ptr<Clock> NewSystemClock();
std::unique_ptr<Notifier> NewNativeNotifier();
std::unique_ptr<OwnershipControlFactory> NewServerControlFactory();
std::unique_ptr<PrivacyCheck> NewPrivacyCheck();

}  // namespace ovpre
