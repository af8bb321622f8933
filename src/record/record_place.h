#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/privacy.h"
#include "record/pre_record.h"

namespace ovpre {

/// Why the record at `path` may not be used, or "" when it may: its folder
/// and its files (the database, its write-ahead log, shared memory and
/// journal) must be the program user's alone (`privacy`; none given trusts
/// nothing), and it must not lie inside any of `release_folders`, where
/// users put and take files, neither as written nor with links followed.
/// A missing folder of the record passes when the folder above it exists.
std::string WhyRecordUnsafe(FileSystem& fs, PrivacyCheck* privacy, const std::string& path,
                            const std::vector<std::string>& release_folders);

/// Opens the record at `path` when WhyRecordUnsafe finds nothing; else, or
/// when it cannot be opened, nothing, and why in `why`. A missing folder of
/// the record is made, private, when the folder above it exists. Waits for
/// another writer only through `pause` (readers never hold a writer up).
std::unique_ptr<PreRecord> OpenSafeRecord(FileSystem& fs, PrivacyCheck* privacy,
                                          const std::string& path,
                                          const std::vector<std::string>& release_folders,
                                          RecordPause pause, std::string* why);

}  // namespace ovpre
