#pragma once
#include <memory>
#include <string>

#include "fs/work_key.h"
#include "platform/file_system.h"

namespace ovpre {

/// The start of the name of the work folder kept in each configured target
/// folder, in which releases are staged before they are published. No
/// release may carry this name or start with it.
inline constexpr const char* kWorkFolderName = ".ovpre-work";

/// The names of the work folder in the target folder `target_id`, in the
/// order they are tried: with a key, kWorkFolderName, "-" and a keyed hash
/// of the target, which nobody without the key can foresee and so take
/// first; without one, kWorkFolderName. Each is followed by numbered ones.
std::string WorkFolderName(const WorkKey& key, const FileId& target_id, int number);

/// The fixed name of `release`'s entry in the work folder: the release's own
/// name while it is short, else its start and a hash of the whole, so that
/// it fits a file name of 255 bytes, a numbered alternative included.
std::string WorkName(const std::string& release);

/// One release's entry in the work folder of a target, claimed by this run
/// through the lock on its mark. It holds the mark and, while a pre works,
/// the release under the name kTreeName. An entry counts as this
/// program's only when its mark carries the keyed hash of its state, its
/// name and its folder's identity; only such an entry is ever cleared or
/// removed, and anything else found at a work name is passed by, at once,
/// for another name.
class WorkEntry {
 public:
  static constexpr const char* kTreeName = "release";
  static constexpr const char* kMarkName = "mark";
  /// The state of an entry whose copy is not (yet) whole, written before
  /// the copy begins. An entry's state is empty until then: such an entry
  /// may hold the release itself, renamed into it, and is never cleared
  /// unless it holds nothing else.
  static constexpr const char* kPartial = "partial";
  /// The start of the state of a whole, checked copy that could not be
  /// published; the fingerprint of its source follows.
  static constexpr const char* kComplete = "complete ";

  /// Opens (creating it when missing) the work folder in the configured
  /// target folder `target` and claims the entry of `release` in it. A
  /// leftover marked partial is cleared; one marked complete is kept for
  /// the caller, whose `kept_fingerprint()` then says what its source was.
  /// kInUse when another running pre holds the entry.
  static FsStatus Claim(Folder& target, const std::string& release, const WorkKey& key,
                        std::unique_ptr<WorkEntry>* entry);

  /// Removes a kept copy of `release` from the work folder of `target`,
  /// where there is one and no running pre holds it.
  static void RemoveKeptCopy(Folder& target, const std::string& release, const WorkKey& key);

  Folder& folder() { return *folder_; }
  /// The work folder's and the entry's names, for the log.
  const std::string& work_name() const { return work_name_; }
  const std::string& name() const { return name_; }
  /// The fingerprint of a complete copy's source, or "" for none.
  const std::string& kept_fingerprint() const { return kept_; }

  /// Records the state of the entry in its mark, on disk when `durable`.
  FsStatus Mark(const std::string& state, bool durable = true);
  /// Removes everything in the entry but the mark, and empties its state.
  FsStatus Clear();
  /// Removes the mark and the entry, which must hold nothing else by now.
  /// The work folder stays: a pre that has just opened it works on in it.
  FsStatus Finish();
  /// Removes only the mark: what the entry holds is not this program's to
  /// remove, and stays for a siteop.
  FsStatus Abandon();

 private:
  WorkEntry(std::unique_ptr<Folder> folder, std::unique_ptr<WorkMark> mark, std::string name,
            std::string work_name, WorkKey key, FileId id)
      : folder_(std::move(folder)), mark_(std::move(mark)), name_(std::move(name)),
        work_name_(std::move(work_name)), key_(std::move(key)), id_(id) {}

  /// Claims an entry in the work folder `work`.
  static FsStatus ClaimIn(Folder& work, const std::string& work_name, const std::string& release,
                          const WorkKey& key, std::unique_ptr<WorkEntry>* entry);

  /// The mark's content for `state`, sealed with the key.
  std::string Sealed(const std::string& state) const;

  std::unique_ptr<Folder> folder_;
  std::unique_ptr<WorkMark> mark_;
  std::string name_;
  std::string work_name_;
  WorkKey key_;
  FileId id_;
  std::string kept_;
};

}  // namespace ovpre
