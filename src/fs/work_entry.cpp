#include "fs/work_entry.h"

#include <vector>

#include "fs/folder_ops.h"
#include "text/text.h"

namespace ovpre {

namespace {

/// Work names tried per release before giving up: the first, then
/// numbered ones past entries that are not this program's.
constexpr int kWorkNames = 8;
/// Longest release name kept whole in a work name (bytes).
constexpr std::size_t kWholeName = 200;
/// How long a claim waits for the mark of an entry just made by another
/// run, and in what steps.
constexpr uint64_t kMarkWaitMs = 1000;
constexpr uint64_t kMarkPollMs = 50;

/// Opens the mark of an entry found at a work name, waiting a moment for
/// one that the run which made the entry is about to create.
FsStatus OpenFoundMark(Folder& entry, Clock* clock, std::unique_ptr<WorkMark>* mark) {
  uint64_t waited = 0;
  for (;;) {
    const FsStatus status = entry.OpenMark(WorkEntry::kMarkName, false, mark);
    if (status != FsStatus::kNotFound || !clock || waited >= kMarkWaitMs) return status;
    clock->Sleep(kMarkPollMs);
    waited += kMarkPollMs;
  }
}

/// True when the folder holds nothing but the work mark.
bool HoldsOnlyTheMark(Folder& entry) {
  std::vector<FolderItem> items;
  if (!entry.List(&items).ok()) return false;
  for (const FolderItem& item : items) {
    if (item.name != WorkEntry::kMarkName) return false;
  }
  return true;
}

/// `name`, then `name` with ".1", ".2" and so on.
std::string NumberedName(const std::string& name, int number) {
  return number == 0 ? name : name + "." + std::to_string(number);
}

}  // namespace

std::string WorkName(const std::string& release) {
  if (release.size() <= kWholeName) return release;
  // Cut at a character's start, so that the name stays valid UTF-8.
  std::size_t cut = kWholeName - 20;
  while (cut > 0 && (static_cast<unsigned char>(release[cut]) & 0xC0) == 0x80) --cut;
  return release.substr(0, cut) + "~" + Hex16(Fnv1a(release));
}

FsStatus WorkEntry::Claim(Folder& target, const std::string& release, Clock* clock,
                          std::unique_ptr<WorkEntry>* entry) {
  // Another pre may remove the work folder, found empty, just after it was
  // opened here: then it is made anew. A name that something else holds
  // (a file, a link, a folder others may enter) is passed by.
  constexpr int kAttempts = 3;
  FsStatus status;
  for (int i = 0; i < kWorkNames; ++i) {
    const std::string name = NumberedName(kWorkFolderName, i);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      std::unique_ptr<Folder> work;
      status = target.OpenWorkFolder(name, &work);
      if (status.ok()) status = ClaimIn(work, release, clock, entry);
      if (status != FsStatus::kNotFound) break;
    }
    if (status != FsStatus::kExists) return status;
  }
  return status;
}

FsStatus WorkEntry::ClaimIn(std::unique_ptr<Folder>& work, const std::string& release,
                            Clock* clock, std::unique_ptr<WorkEntry>* entry) {
  FsStatus status;
  const std::string base = WorkName(release);
  for (int i = 0; i < kWorkNames; ++i) {
    const std::string name = NumberedName(base, i);
    std::unique_ptr<Folder> folder;
    std::unique_ptr<WorkMark> mark;
    status = work->Make(name, &folder);
    if (status.ok()) {
      // A new mark stays empty until a copy begins: an entry that may hold
      // the release itself, renamed into it, is never cleared.
      status = folder->OpenMark(kMarkName, true, &mark);
      if (!status.ok()) {
        if (mark) mark->Remove();
        mark.reset();
        folder->RemoveSelf();
        return status;
      }
      entry->reset(new WorkEntry(std::move(work), std::move(folder), std::move(mark), name));
      return FsStatus::kOk;
    }
    if (status != FsStatus::kExists) return status;
    // Something is there already: a leftover of this program's, the entry
    // of a pre running now, or anything else, which is left alone.
    if (!work->Open(name, &folder).ok()) continue;
    status = OpenFoundMark(*folder, clock, &mark);
    if (status == FsStatus::kInUse) return status;
    if (!status.ok()) continue;
    std::string state;
    if (!mark->Read(&state).ok()) continue;
    const bool complete = state.compare(0, std::string(kComplete).size(), kComplete) == 0;
    // An empty mark over anything but itself may guard a release that a
    // killed run had renamed in: that is a siteop's to look at.
    if (state.empty() && !HoldsOnlyTheMark(*folder)) continue;
    if (!state.empty() && state != kPartial && !complete) continue;
    entry->reset(new WorkEntry(std::move(work), std::move(folder), std::move(mark), name));
    if (complete) {
      (*entry)->kept_ = state.substr(std::string(kComplete).size());
      return FsStatus::kOk;
    }
    return state.empty() ? FsStatus::kOk : (*entry)->Clear();
  }
  return FsStatus::kExists;
}

FsStatus WorkEntry::Clear() {
  kept_.clear();
  std::vector<FolderItem> items;
  FsStatus status = folder_->List(&items);
  for (const FolderItem& item : items) {
    if (!status.ok()) break;
    if (item.name == kMarkName) continue;
    if (item.kind != EntryKind::kFolder) {
      status = folder_->RemoveFile(item.name);
      continue;
    }
    std::unique_ptr<Folder> child;
    status = folder_->Open(item.name, &child);
    if (status.ok()) status = DeleteTree(*child);
  }
  // Durably empty again before anything, the release itself included, is
  // put into the entry.
  if (status.ok()) status = mark_->Write("");
  return status;
}

FsStatus WorkEntry::Finish() {
  FsStatus status = mark_->Remove();
  mark_.reset();
  if (status.ok()) status = folder_->RemoveSelf();
  // The work folder goes too when it is empty; a pre that has just opened
  // it makes it again.
  std::vector<FolderItem> items;
  if (status.ok() && work_->List(&items).ok() && items.empty()) work_->RemoveSelf();
  return status;
}

FsStatus WorkEntry::Abandon() {
  const FsStatus status = mark_->Remove();
  mark_.reset();
  return status;
}

}  // namespace ovpre
