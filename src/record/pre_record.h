#pragma once
// The record of every pre: one row per pre in an SQLite file, the only code
// that talks to SQLite.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace ovpre {

/// The schema this program writes; a record of a later one is only read.
inline constexpr int kRecordVersion = 1;

/// One pre as the record keeps it.
struct RecordedPre {
  int64_t id = 0;
  std::string release;
  std::string group;
  std::string section;    // "" for none
  std::string path;       // as the success reply said it
  std::string folder_id;  // the published folder's volume and file number
  std::string pre_time;   // UTC, "2026-12-07T16:49:21.123Z"
  int64_t age_ms = 0;     // how long ago pre_time was
};

/// A pre about to move, for its reservation.
struct NewPre {
  std::string release;
  std::string key;  // the release's name folded, as names are compared
  std::string group;
  std::string section;
  std::string path;
};

/// What the reservation of a name found.
enum class Reservation {
  kReserved,  // a pending row now holds the name
  kTaken,     // a live pre or another pending pre holds it
  kFailed,    // the record could not be read or written in time
};

/// A reservation older than this is the leftover of a run that was killed
/// and no longer holds its name, even where nothing tells whether its run
/// still runs.
inline constexpr int kPendingMinutes = 60;

/// The run that reserves a name: the run lock it holds while it moves (its
/// slot; none when negative), and how to tell whether the run that holds
/// another slot still runs. A reservation whose run ended without taking it
/// back (killed) holds its name no longer.
struct RunSlot {
  int slot = -1;
  std::function<bool(int slot)> runs;
};

/// Pauses before try number `tries` + 2 at a lock another writer of the
/// record holds; false, without a pause, when the request may wait no more.
using RecordPause = std::function<bool(int tries)>;

/// The record file, open. Every call reports failure through its result
/// and says why in `why`; none waits longer than the pause given to Open
/// allows.
class PreRecord {
 public:
  /// Opens the record at `path` (UTF-8), creating it, and its schema, when
  /// missing; never follows a link at the file's own name. Write-ahead
  /// logging, synced at checkpoints: a power cut may lose the last rows,
  /// never the file. A record of a later schema is opened read-only.
  /// Waits for another writer's lock only through `pause`.
  static std::unique_ptr<PreRecord> Open(const std::string& path, RecordPause pause,
                                         std::string* why);
  /// Looks at the existing file at `path` without changing it: true when
  /// it is a record (or an empty database, which becomes one), else false
  /// and why in `why`.
  static bool Inspect(const std::string& path, std::string* why);
  ~PreRecord();
  PreRecord(const PreRecord&) = delete;
  PreRecord& operator=(const PreRecord&) = delete;

  bool ReadOnly() const { return read_only_; }

  /// Milliseconds since the record was created; nothing when unknown.
  std::optional<int64_t> AgeMs(std::string* why);

  /// In one transaction: looks for a row holding `pre.key`, a pre not
  /// undone younger than `days` days (none when `days` is 0) or a pending
  /// reservation whose run still runs, and when there is none adds a
  /// pending row for `pre` held by `run` (`id` gets it). `found` gets the
  /// row that holds the name. Reservations of runs that ended are removed.
  Reservation Reserve(const NewPre& pre, int days, const RunSlot& run, RecordedPre* found,
                      int64_t* id, std::string* why);

  /// Turns the pending row `id` into the record of a done pre: the
  /// published folder's identity, the counts (when known) and now as the
  /// pre's time.
  bool Complete(int64_t id, const std::string& folder_id, std::optional<uint64_t> files,
                std::optional<uint64_t> bytes, std::string* why);

  /// Removes the pending row `id`: its pre did not happen.
  bool Drop(int64_t id, std::string* why);

  /// The newest done pre of `key` that is not undone; nothing when there
  /// is none or on failure (then `why` is set).
  std::optional<RecordedPre> Latest(const std::string& key, std::string* why);

  /// Up to `limit` done pres, not undone, whose release holds every one of
  /// `words` in any case, newest first; nothing on failure.
  std::optional<std::vector<RecordedPre>> Search(const std::vector<std::string>& words,
                                                 int limit, std::string* why);

  /// Sets the row's unpre time to now (`undone`) or back to none.
  bool MarkUndone(int64_t id, bool undone, std::string* why);

 private:
  PreRecord(sqlite3* db, bool read_only, RecordPause pause)
      : db_(db), read_only_(read_only), pause_(std::move(pause)) {}
  bool Prepare(std::string* why);
  bool ForgetRunsOf(const RunSlot& run, std::string* why);
  bool ForgetRun(int64_t id, std::string* why);
  /// Search's rows among the newest `window` matches of `query` (all of
  /// them when negative).
  std::optional<std::vector<RecordedPre>> SearchRows(const std::string& query, int limit,
                                                     int window, std::string* why);
  /// What holds a name: nothing, a live pre or reservation, or a
  /// reservation of an ended run, which is removed.
  enum class Holder { kNone, kLive, kEnded, kFailed };
  Holder LookForHolder(const NewPre& pre, int days, const RunSlot& run, RecordedPre* found,
                       std::string* why);
  static int OnBusy(void* record, int tries);

  sqlite3* db_;
  bool read_only_;
  RecordPause pause_;
};

}  // namespace ovpre
