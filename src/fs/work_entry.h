#pragma once
#include <memory>
#include <string>

#include "platform/file_system.h"
#include "platform/platform.h"

namespace ovpre {

/// The folder kept in each target folder in which releases are staged
/// before they are published. No release may carry this name or start with
/// it.
inline constexpr const char* kWorkFolderName = ".ovpre-work";

/// The fixed name of `release`'s entry in the work folder: the release's own
/// name while it is short, else its start and a hash of the whole, so that
/// it fits a file name of 255 bytes, a numbered alternative included.
std::string WorkName(const std::string& release);

/// One release's entry in the work folder of a target, claimed by this run
/// through the lock on its mark. It holds the mark and, while a pre works,
/// the release under the name kTreeName. Only an entry that carries a mark
/// of this program is ever cleared or removed; anything else found at a
/// work name is left alone and another name is used.
class WorkEntry {
 public:
  static constexpr const char* kTreeName = "release";
  static constexpr const char* kMarkName = "mark";
  /// The mark of an entry whose copy is not (yet) whole, written before
  /// the copy begins. An entry's mark is empty until then: such an entry
  /// may hold the release itself, renamed into it, and is never cleared
  /// unless it holds nothing else.
  static constexpr const char* kPartial = "partial";
  /// The start of the mark of a whole, checked copy that could not be
  /// published; the fingerprint of its source follows.
  static constexpr const char* kComplete = "complete ";

  /// Opens (creating it when missing) the work folder in `target` and
  /// claims the entry of `release` in it. A leftover marked partial is
  /// cleared; one marked complete is kept for the caller, whose
  /// `kept_fingerprint()` then says what its source was. kInUse when another
  /// running pre holds the entry. `clock` (may be null) lets a claim wait a
  /// moment for the mark of an entry that another run has just made.
  static FsStatus Claim(Folder& target, const std::string& release, Clock* clock,
                        std::unique_ptr<WorkEntry>* entry);

  Folder& folder() { return *folder_; }
  /// The entry's name in the work folder, for the log.
  const std::string& name() const { return name_; }
  /// The fingerprint of a complete copy's source, or "" for none.
  const std::string& kept_fingerprint() const { return kept_; }

  /// Records the state of the entry in its mark.
  FsStatus Mark(const std::string& state) { return mark_->Write(state); }
  /// Removes everything in the entry but the mark, and empties the mark.
  FsStatus Clear();
  /// Removes the mark and the entry, which must hold nothing else by now,
  /// and the work folder when nothing else is left in it.
  FsStatus Finish();
  /// Removes only the mark: what the entry holds is not this program's to
  /// remove, and stays for a siteop.
  FsStatus Abandon();

 private:
  WorkEntry(std::unique_ptr<Folder> work, std::unique_ptr<Folder> folder,
            std::unique_ptr<WorkMark> mark, std::string name)
      : work_(std::move(work)), folder_(std::move(folder)), mark_(std::move(mark)),
        name_(std::move(name)) {}

  /// Claims an entry in the work folder `work`.
  static FsStatus ClaimIn(std::unique_ptr<Folder>& work, const std::string& release,
                          Clock* clock, std::unique_ptr<WorkEntry>* entry);

  std::unique_ptr<Folder> work_;
  std::unique_ptr<Folder> folder_;
  std::unique_ptr<WorkMark> mark_;
  std::string name_;
  std::string kept_;
};

}  // namespace ovpre
