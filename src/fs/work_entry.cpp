#include "fs/work_entry.h"

#include <vector>

#include "fs/folder_ops.h"
#include "text/text.h"

namespace ovpre {

namespace {

/// Work folder names, and entry names per release, tried before giving
/// up: the first, then numbered ones past what is not this program's.
constexpr int kWorkNames = 8;
/// Longest release name kept whole in a work name (bytes).
constexpr std::size_t kWholeName = 200;

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

/// The keyed hash that seals `state` to the entry `name` whose folder is
/// `id`: moved to another entry, or made by anyone without the key, it
/// does not match.
std::string Seal(const WorkKey& key, const FileId& id, const std::string& name,
                 const std::string& state) {
  return Hex16(KeyedHash(key, IdBytes(id) + '\n' + name + '\n' + state));
}

/// The state that the mark content `content` of the entry `name` (folder
/// `id`) holds, when its seal is right; false for anything else.
bool Unseal(const WorkKey& key, const FileId& id, const std::string& name,
            const std::string& content, std::string* state) {
  const std::size_t cut = content.rfind('\n');
  if (key.empty() || cut == std::string::npos) return false;
  *state = content.substr(0, cut);
  return content.substr(cut + 1) == Seal(key, id, name, *state);
}

bool IsComplete(const std::string& state) {
  return state.compare(0, std::string(WorkEntry::kComplete).size(), WorkEntry::kComplete) == 0;
}

}  // namespace

std::string WorkFolderName(const WorkKey& key, const FileId& target_id, int number) {
  const std::string base =
      key.empty() ? std::string(kWorkFolderName)
                  : kWorkFolderName + std::string("-") +
                        Hex16(KeyedHash(key, "work folder\n" + IdBytes(target_id)));
  return NumberedName(base, number);
}

std::string WorkName(const std::string& release) {
  if (release.size() <= kWholeName) return release;
  // Cut at a character's start, so that the name stays valid UTF-8.
  std::size_t cut = kWholeName - 20;
  while (cut > 0 && (static_cast<unsigned char>(release[cut]) & 0xC0) == 0x80) --cut;
  return release.substr(0, cut) + "~" + Hex16(Fnv1a(release));
}

FsStatus WorkEntry::Claim(Folder& target, const std::string& release, const WorkKey& key,
                          std::unique_ptr<WorkEntry>* entry) {
  FileId target_id;
  FsStatus status = target.Identity(&target_id);
  if (!status.ok()) return status;
  // A name that something else holds (a file, a link, a folder others may
  // enter) is passed by. The work folder is never removed, so a pre that
  // has opened it can always make its entry there.
  for (int i = 0; i < kWorkNames; ++i) {
    const std::string name = WorkFolderName(key, target_id, i);
    std::unique_ptr<Folder> work;
    status = target.OpenWorkFolder(name, &work);
    if (status.ok()) status = ClaimIn(*work, name, release, key, entry);
    if (status != FsStatus::kExists) return status;
  }
  return status;
}

FsStatus WorkEntry::ClaimIn(Folder& work, const std::string& work_name,
                            const std::string& release, const WorkKey& key,
                            std::unique_ptr<WorkEntry>* entry) {
  FsStatus status;
  const std::string base = WorkName(release);
  for (int i = 0; i < kWorkNames; ++i) {
    const std::string name = NumberedName(base, i);
    std::unique_ptr<Folder> folder;
    std::unique_ptr<WorkMark> mark;
    FileId id;
    status = work.Make(name, &folder);
    if (status.ok()) {
      status = folder->OpenMark(kMarkName, true, &mark);
      if (status.ok()) status = folder->Identity(&id);
      if (status.ok()) {
        entry->reset(new WorkEntry(std::move(folder), std::move(mark), name, work_name, key, id));
        // A new entry's state stays empty until a copy begins: an entry
        // that may hold the release itself, renamed into it, is never
        // cleared. A crash may lose the seal, which only makes the entry
        // one that is passed by: no wait for the disk here.
        status = (*entry)->Mark("", false);
        if (status.ok()) return status;
        (*entry)->Finish();
        entry->reset();
        return status;
      }
      if (mark) mark->Remove();
      folder->RemoveSelf();
      return status;
    }
    if (status != FsStatus::kExists) return status;
    // Something is there already: a leftover of this program's, the entry
    // of a pre running now, or anything else, which is left alone.
    if (!work.Open(name, &folder).ok()) continue;
    status = folder->OpenMark(kMarkName, false, &mark);
    if (status == FsStatus::kInUse) return status;
    std::string content;
    std::string state;
    if (!status.ok() || !mark->Read(&content).ok() || !folder->Identity(&id).ok() ||
        !Unseal(key, id, name, content, &state)) {
      continue;
    }
    // An empty state over anything but the mark may guard a release that a
    // killed run had renamed in: that is a siteop's to look at.
    if (state.empty() && !HoldsOnlyTheMark(*folder)) continue;
    if (!state.empty() && state != kPartial && !IsComplete(state)) continue;
    entry->reset(new WorkEntry(std::move(folder), std::move(mark), name, work_name, key, id));
    if (IsComplete(state)) {
      (*entry)->kept_ = state.substr(std::string(kComplete).size());
      return FsStatus::kOk;
    }
    return state.empty() ? FsStatus::kOk : (*entry)->Clear();
  }
  return FsStatus::kExists;
}

void WorkEntry::RemoveKeptCopy(Folder& target, const std::string& release, const WorkKey& key) {
  FileId target_id;
  if (key.empty() || !target.Identity(&target_id).ok()) return;
  for (int i = 0; i < kWorkNames; ++i) {
    const std::string name = WorkFolderName(key, target_id, i);
    // Only where a work folder already is: none is made for this.
    FileId there;
    std::unique_ptr<Folder> work;
    if (!target.IdentityOf(name, &there).ok() || !target.OpenWorkFolder(name, &work).ok()) {
      continue;
    }
    std::unique_ptr<WorkEntry> entry;
    if (!ClaimIn(*work, name, release, key, &entry).ok()) continue;
    if (entry->kept_fingerprint().empty() || entry->Clear().ok()) entry->Finish();
  }
}

std::string WorkEntry::Sealed(const std::string& state) const {
  return state + '\n' + Seal(key_, id_, name_, state);
}

FsStatus WorkEntry::Mark(const std::string& state, bool durable) {
  return mark_->Write(Sealed(state), durable);
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
  if (status.ok()) status = Mark("");
  return status;
}

FsStatus WorkEntry::Finish() {
  FsStatus status = mark_->Remove();
  mark_.reset();
  if (status.ok()) status = folder_->RemoveSelf();
  return status;
}

FsStatus WorkEntry::Abandon() {
  const FsStatus status = mark_->Remove();
  mark_.reset();
  return status;
}

}  // namespace ovpre
