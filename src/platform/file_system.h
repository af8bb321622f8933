#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ovpre {

/// Outcome of one file-system operation: its kind, and for a failure the
/// operating system's own cause (errno or GetLastError, and its text), kept
/// so that whoever chooses a reply or a log line can say why. The platform
/// files map their native errors onto the kinds; the cause travels along.
class FsStatus {
 public:
  enum Code {
    kOk,
    kNotFound,     // the path or one of its parents does not exist
    kExists,       // the target already exists and the operation never replaces
    kCrossDevice,  // a rename refused because the target is on another volume
    kNoSpace,      // the volume or the user's quota is full
    kDenied,       // access denied, or a read-only volume
    kInUse,        // another running program holds what was asked for
    kSwapped,      // a name no longer leads to the folder that was opened
    kNotCopyable,  // a device, pipe or socket, or a link where none can be made
    kTooLarge,     // a file larger than the target's file system can hold
    kTooDeep,      // folders nested deeper than the program may hold open
    kFailed,       // anything else (bad name, device error, ...)
  };

  FsStatus(Code code = kOk) : code_(code) {}  // NOLINT: a bare kind converts
  FsStatus(Code code, long os_error, std::string os_text)
      : code_(code), os_error_(os_error), os_text_(std::move(os_text)) {}

  Code code() const { return code_; }
  bool ok() const { return code_ == kOk; }
  /// The native error number behind a failure; 0 when it has none.
  long os_error() const { return os_error_; }
  /// The system's text for os_error(); empty when it has none.
  const std::string& os_text() const { return os_text_; }

  friend bool operator==(const FsStatus& status, Code code) { return status.code_ == code; }
  friend bool operator==(Code code, const FsStatus& status) { return status.code_ == code; }
  friend bool operator!=(const FsStatus& status, Code code) { return status.code_ != code; }
  friend bool operator!=(Code code, const FsStatus& status) { return status.code_ != code; }

 private:
  Code code_;
  long os_error_ = 0;
  std::string os_text_;
};

/// What a path names, without following a symbolic link or junction.
enum class EntryKind { kMissing, kFile, kFolder, kLink, kOther };

/// What makes a file or folder itself, whatever path leads to it: the
/// volume and the file's number on it (device and inode; volume serial
/// number and file ID).
struct FileId {
  uint64_t volume = 0;
  uint64_t file = 0;
  /// The number Windows gives where a file's ID "cannot be represented":
  /// it names no file, so it equals nothing, itself included.
  static constexpr uint64_t kNoFile = ~0ull;
  bool operator==(const FileId& other) const {
    return file != kNoFile && volume == other.volume && file == other.file;
  }
  bool operator!=(const FileId& other) const { return !(*this == other); }
};

/// One name inside a folder, as a full walk of the tree needs it.
struct FolderItem {
  std::string name;
  EntryKind kind = EntryKind::kOther;
  uint64_t size = 0;      // bytes, for files only
  int64_t modified = 0;   // the platform's time stamp, only for comparing
  int64_t changed = 0;    // the time of the last change of content or
                          // metadata (ctime, ChangeTime), for files only
  uint64_t number = 0;    // the file's number on its volume (inode, file
                          // ID), for files only; 0 where the listing has none
  std::string target{};   // for links: where the link points, as stored;
                          // empty where the platform does not read it
};

/// What a look at one entry through a handle of its own shows now, past a
/// directory entry that the system may not have brought up to date yet.
struct FileFacts {
  EntryKind kind = EntryKind::kOther;
  uint64_t size = 0;
  int64_t changed = 0;  // as FolderItem::changed
  uint64_t number = 0;  // as FolderItem::number
};

/// A work mark held open and locked: the claim of one run on a work entry,
/// and the state of that entry ("partial", "complete ..."). The lock ends
/// with the object or with the process, however it ends.
class WorkMark {
 public:
  virtual ~WorkMark() = default;
  /// The mark's whole content.
  virtual FsStatus Read(std::string* state) = 0;
  /// Replaces the mark's whole content; with `durable`, waits until it is
  /// on disk.
  virtual FsStatus Write(const std::string& state, bool durable) = 0;
  /// Removes the mark file while still holding it; the object is of no
  /// further use afterwards.
  virtual FsStatus Remove() = 0;
};

/// A folder held open. Everything below it is reached through it: a name is
/// looked up in this very folder, never by reading a path again, and a link
/// (or junction) is never followed, so nothing swapped in after the folder
/// was opened can redirect an operation outside it. Closing the object
/// closes the folder.
class Folder {
 public:
  virtual ~Folder() = default;

  /// Every name inside, "." and ".." left out, hidden ones included.
  virtual FsStatus List(std::vector<FolderItem>* items) = 0;

  /// Opens the folder `name` inside; fails when it is a link or no folder.
  virtual FsStatus Open(const std::string& name, std::unique_ptr<Folder>* folder) = 0;

  /// Creates the folder `name` inside, never taking an existing one
  /// (kExists), and opens it. Only this program's user may enter it until
  /// it is given other rights (CopyOwnAttributesTo).
  virtual FsStatus Make(const std::string& name, std::unique_ptr<Folder>* folder) = 0;

  /// Opens the folder `name` inside, which must belong to whoever owns this
  /// folder; when the name is free, first makes it with this folder's
  /// owner, group and permissions (the setgid bit only as this folder has
  /// it, never setuid or sticky), and sets `made`. kExists when the name
  /// holds anything else: a link, a file, or a folder of another owner.
  /// Never follows a link.
  virtual FsStatus OpenOwnersFolder(const std::string& name, std::unique_ptr<Folder>* folder,
                                    bool* made) = 0;

  /// Copies the regular file `name` into `target` under the same name (which
  /// must be free), reading it to its real end, with its mode or attributes
  /// and times, and makes the copy durable. The copy is readable by this
  /// program's user only while its data is written, and never carries the
  /// setuid, setgid or sticky bits. `copied` gets the source's
  /// facts as the handle that read it shows them at the end of the copy.
  /// kInUse, and no copy, when a writer holds the file open when the copy
  /// begins or opens it for writing before it ends, where the platform can
  /// tell; a writer is never held back for longer than a moment. kOk with
  /// a cause in os_error()/os_text() when the copy was made but the
  /// platform could not tell whether a writer held the file.
  virtual FsStatus CopyFileTo(const std::string& name, Folder& target, FileFacts* copied) = 0;

  /// Passes the content of the regular file `name` inside to `block`, one
  /// large block after the other from its start to its real end, until
  /// `block` returns false. Fails when `name` is a link, a folder or
  /// anything else that is not a plain file; the link is not followed.
  using BlockReader = std::function<bool(const char* data, std::size_t size)>;
  virtual FsStatus ReadBlocks(const std::string& name, const BlockReader& block) = 0;

  /// Recreates the link `name` in `target`, pointing where it points.
  virtual FsStatus CopyLinkTo(const std::string& name, Folder& target) = 0;

  /// Gives `target` this folder's own mode or attributes and times, the
  /// setuid, setgid and sticky bits left out.
  virtual FsStatus CopyOwnAttributesTo(Folder& target) = 0;

  /// Removes the file or link `name` inside, read-only or not.
  virtual FsStatus RemoveFile(const std::string& name) = 0;

  /// Removes the file or link `expected.name` inside, read-only or not, only
  /// while it is still the entry `expected` describes. The look and the
  /// removal are one operation on one handle of the entry, opened without
  /// following a link and checked to be what the name leads to: a file
  /// must have the kind, size, change time and number (not compared when
  /// either is 0) of `expected`, a link the same `target`. A file also stays
  /// when a writer holds it open, or starts to open it before it is gone,
  /// where the platform can tell; a writer is never held back for longer
  /// than a moment. Results: kOk when it is gone; kSwapped when it is not
  /// the entry described (written to, re-pointed or replaced), kInUse when
  /// a writer holds it, kNotFound when the name is free: in each it stays
  /// as it is. kOk with a cause in os_error()/os_text() when it was removed
  /// but the platform could not tell whether a writer held it.
  virtual FsStatus RemoveFileIfUnchanged(const FolderItem& expected) = 0;

  /// Removes this folder itself, which must be empty by now. The object is
  /// of no further use afterwards.
  virtual FsStatus RemoveSelf() = 0;

  /// Renames this folder to `new_name` inside `target` (a folder on the same
  /// volume), never replacing anything: kExists when the name is taken,
  /// kCrossDevice when `target` is on another volume.
  virtual FsStatus MoveTo(Folder& target, const std::string& new_name) = 0;

  /// This folder's own identity.
  virtual FsStatus Identity(FileId* id) = 0;

  /// The identity of `name` inside, without following links.
  virtual FsStatus IdentityOf(const std::string& name, FileId* id) = 0;

  /// Hides this folder from listings where the platform has such a mark (a
  /// name starting with "." needs none), or shows it again.
  virtual FsStatus SetHidden(bool hidden) = 0;

  /// Makes everything written below this folder durable. Where the
  /// platform documents no way to do so for a folder and refuses it, the
  /// result is still ok, with the refusal's cause in os_error()/os_text().
  virtual FsStatus Flush() = 0;

  /// Looks at the entry `name` inside again, through a handle of its own,
  /// without following a link: kInUse while a writer holds the file where
  /// the platform can tell.
  virtual FsStatus Examine(const std::string& name, FileFacts* facts) = 0;

  /// The largest file the volume of this folder can hold.
  virtual uint64_t MaxFileSize() = 0;

  /// Opens the folder `name` inside that only this program's user may use
  /// (and that listings do not show, where the platform has such a mark),
  /// creating it when missing; kExists when the name holds anything else:
  /// a link, a file, or a folder that others may enter.
  virtual FsStatus OpenWorkFolder(const std::string& name, std::unique_ptr<Folder>* folder) = 0;

  /// Opens the work mark `name` inside and locks it: with `create`, makes a
  /// new one readable by this program's user only, never taking an existing
  /// name (kExists). kInUse while another running program holds the lock;
  /// kNotFound when there is none; kNotCopyable when the name holds anything
  /// but a plain file of this program's user. Never follows a link.
  virtual FsStatus OpenMark(const std::string& name, bool create,
                            std::unique_ptr<WorkMark>* mark) = 0;
};

/// A lock taken on a lock file; it ends when the object goes, or with the
/// process, however it ends.
class HeldLock {
 public:
  virtual ~HeldLock() = default;
};

/// One result of a directory search, as the server-facing listing needs it.
struct DirEntry {
  std::string Name;
  double Modified = 0;      // days since 1899-12-30, local time
  uint32_t Attributes = 0;  // Windows attribute bits
};

/// Windows attribute bits, used on every platform.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrFolder = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;

/// The file system as the commands see it. Every operation reports failure
/// through its result and never throws. Paths are UTF-8 and use Separator().
/// Text files are held as UTF-8 here; the platform stores them in its own
/// 8-bit encoding (the system code page on Windows).
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// The character between folder names in a path: '\' or '/'.
  virtual char Separator() const = 0;

  /// Lower-cases `path` as the platform does when it compares folder names.
  virtual std::string FoldCase(const std::string& path) const = 0;

  /// True when names that differ only in case name one entry (Windows);
  /// false where case tells names apart (POSIX).
  virtual bool NamesIgnoreCase() const = 0;

  /// What `path` names, without following links. kMissing when absent.
  virtual EntryKind KindOf(const std::string& path) = 0;

  /// The identity of what `path` names, without following links.
  virtual FsStatus IdentityOf(const std::string& path, FileId* id) = 0;

  /// Opens the folder at `path`; fails when `path` names a link or no
  /// folder. The folders above it are looked up as usual.
  virtual FsStatus OpenFolder(const std::string& path, std::unique_ptr<Folder>* folder) = 0;

  /// The path of the folder that `path` leads to, every link, junction and
  /// mounted folder on the way (the last name included) followed: a path
  /// the other calls can use with no link left in it.
  virtual FsStatus ResolveFolder(const std::string& path, std::string* resolved) = 0;

  /// True when `path` is an ordinary file that a directory search shows
  /// (not a folder, not hidden, not a system file).
  virtual bool VisibleFileExists(const std::string& path) = 0;

  /// A directory search for every name in `folder`, in the platform's
  /// order, "." and ".." included, hidden and system entries left out. An
  /// empty result is not a failure.
  virtual FsStatus SearchFolder(const std::string& folder,
                                std::vector<DirEntry>* entries) = 0;

  /// Free bytes of the volume that would hold `path`.
  virtual FsStatus FreeBytes(const std::string& path, uint64_t* bytes) = 0;

  /// Reads a whole text file.
  virtual FsStatus ReadTextFile(const std::string& path, std::string* text) = 0;

  /// Replaces the content of a text file (creating it) so that a reader sees
  /// either the old content or the new one, never a mix.
  virtual FsStatus WriteTextFile(const std::string& path,
                                 const std::string& text) = 0;

  /// The name the folder holding `path` keeps for that entry: its own long
  /// name, where a path may also reach it through a short 8.3 alias.
  virtual FsStatus OwnName(const std::string& path, std::string* name) = 0;

  /// True when `text` comes back unchanged from a text file for the server
  /// or the bot, which the platform stores in its own 8-bit encoding.
  virtual bool StoresExactly(const std::string& text) = 0;

  /// The secret kept in the file `path`: a plain file of this program's
  /// user that nobody else may read or write. When there is none yet, it
  /// is created holding `fresh`, never replacing one another run made
  /// meanwhile, and what is there then is read. kDenied when the file is a
  /// link, someone else's, or open to others; never follows a link.
  virtual FsStatus ReadOrCreateSecret(const std::string& path, const std::string& fresh,
                                      std::string* secret) = 0;

  /// Creates a text file that must not exist yet; kExists when it does.
  virtual FsStatus CreateTextFile(const std::string& path,
                                  const std::string& text) = 0;

  /// Takes the lock file at `path` without waiting: kInUse while another
  /// run (or another handle) holds it. The lock ends with the object or the
  /// process. Made when missing, for this program's user alone; a link,
  /// anything but a plain file, or (where owners tell) a file another user
  /// owns or may open, is refused (kDenied) and never locked, since whoever
  /// could open it could hold every run.
  virtual FsStatus TryLock(const std::string& path, std::unique_ptr<HeldLock>* lock) = 0;

  /// Decides what to add to a text file from what it holds: the addition,
  /// or nothing to leave the file as it is.
  using AppendDecision =
      std::function<std::optional<std::string>(const std::string& current)>;

  /// Appends to the text file at `path`, creating it, in the encoding it
  /// is stored in. `decide` gets only the file's last few bytes as stored
  /// (all of a shorter file), enough to tell how its last line ends, never
  /// the whole file. Never through a link at the name, and never to a file
  /// with more than one name (a hard link), which may be anybody's file.
  /// No lock is taken: the caller orders appenders.
  virtual FsStatus AppendText(const std::string& path, const AppendDecision& decide) = 0;

  /// As AppendText, for a file that is UTF-8 on every platform: the
  /// addition is written as it is, whatever encoding the platform stores
  /// other text files in.
  virtual FsStatus AppendUtf8(const std::string& path, const AppendDecision& decide) = 0;

  /// Adds to the end of the text file at `path` by writing its whole new
  /// content (created when missing) to a new file beside it and putting
  /// that in its place, so that a reader, who takes no lock, sees the old
  /// content or the new one, never a part. `decide` gets the whole current
  /// text (as ReadTextFile gives it); the addition goes in the file's own
  /// encoding. The file keeps its mode and owner where the platform has
  /// them. Refuses a link at the name and a file with more than one name.
  /// No lock is taken: the caller orders writers.
  virtual FsStatus AppendByReplacing(const std::string& path, const AppendDecision& decide) = 0;
};

}  // namespace ovpre
