#pragma once
// The record of pres as the commands use it.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "config/settings.h"
#include "platform/platform.h"
#include "record/pre_record.h"
#include "request/request_log.h"

namespace ovpre {

/// The record that `settings` name, opened for one request when it is safe
/// to use; nothing otherwise, and then `why` says why.
std::unique_ptr<PreRecord> OpenRecord(Platform& platform, const Settings& settings,
                                      std::string* why);

/// The identity of `folder` as the record keeps it: "volume:file", each as
/// 16 hexadecimal digits; "" when it cannot be read.
std::string FolderIdText(Folder& folder);

/// The record's part in one pre: the look for a dupe and the reservation of
/// the name before the move, the row after it. A record that cannot be used
/// never stops the pre: the log says why, and the folders are searched for
/// dupes as without one. A reservation that was not completed is dropped
/// when the object goes.
class PreRecording {
 public:
  PreRecording(Platform& platform, const Settings& settings, RequestRecord& log);
  ~PreRecording();
  PreRecording(const PreRecording&) = delete;
  PreRecording& operator=(const PreRecording&) = delete;

  /// Reserves the release's name, looking for a dupe among the group's
  /// days first; the dupe reply when the name is taken, else nothing.
  std::optional<std::string> Reserve(const PreGroup& group, const std::string& release,
                                     const std::string& section, const std::string& path);
  /// True when the folders must be searched for dupes of the group too:
  /// without a record, or while the record is younger than the days.
  bool FoldersToo(const PreGroup& group);
  /// Writes the row of the pre that published `published`, with the
  /// counts when they are known.
  void Complete(Folder& published, const RequestRecord& counts);

 private:
  void Note(const std::string& why);
  /// Takes a free run lock beside the record, held until the object goes,
  /// and tells how to see whether another slot's run still runs.
  RunSlot TakeRunSlot();

  FileSystem& fs_;
  RequestRecord& log_;
  std::string path_;
  std::unique_ptr<PreRecord> record_;
  std::unique_ptr<HeldLock> run_lock_;
  int64_t reserved_ = 0;
};

}  // namespace ovpre
