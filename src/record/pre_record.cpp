#include "record/pre_record.h"

#include <sqlite3.h>

#include <utility>

namespace ovpre {

namespace {

/// The pages the write-ahead log may hold before a commit copies them into
/// the file. Each run reads the whole log back when it opens the record
/// (about 5,000 instructions a page: several milliseconds for SQLite's
/// default of a thousand), and a copy costs three flushes; a pre writes
/// about ten pages, so this copies every ten pres or so.
constexpr int kCheckpointPages = 100;

/// Now, as every time in the record is written: UTC with milliseconds.
constexpr const char* kNow = "strftime('%Y-%m-%dT%H:%M:%fZ','now')";

/// The schema of version 1. The release names are indexed by trigrams for
/// the search by words; the index follows the table through triggers.
constexpr const char* kSchema = R"(
CREATE TABLE pres(
  id INTEGER PRIMARY KEY,
  release TEXT NOT NULL,
  release_key TEXT NOT NULL,
  group_name TEXT NOT NULL,
  section TEXT,
  path TEXT NOT NULL,
  folder_id TEXT,
  files INTEGER,
  bytes INTEGER,
  pre_time TEXT NOT NULL,
  unpre_time TEXT);
CREATE INDEX pres_release_key ON pres(release_key);
CREATE TABLE record_info(created TEXT NOT NULL);
INSERT INTO record_info(created) VALUES (strftime('%Y-%m-%dT%H:%M:%fZ','now'));
CREATE VIRTUAL TABLE pres_names USING fts5(release, content='pres', content_rowid='id',
  tokenize='trigram case_sensitive 0');
CREATE TRIGGER pres_names_add AFTER INSERT ON pres BEGIN
  INSERT INTO pres_names(rowid, release) VALUES (new.id, new.release);
END;
CREATE TRIGGER pres_names_remove AFTER DELETE ON pres BEGIN
  INSERT INTO pres_names(pres_names, rowid, release) VALUES ('delete', old.id, old.release);
END;
CREATE TRIGGER pres_names_change AFTER UPDATE OF release ON pres BEGIN
  INSERT INTO pres_names(pres_names, rowid, release) VALUES ('delete', old.id, old.release);
  INSERT INTO pres_names(rowid, release) VALUES (new.id, new.release);
END;
PRAGMA user_version = 1;
)";

/// The columns every query of rows reads, in RowAt's order.
constexpr const char* kRowColumns =
    "p.id, p.release, p.group_name, ifnull(p.section,''), p.path, ifnull(p.folder_id,''), "
    "p.pre_time, CAST(round((julianday('now') - julianday(p.pre_time)) * 86400000) AS INTEGER)";

std::string Why(sqlite3* db, const std::string& step) {
  return step + ": " + sqlite3_errmsg(db) + " (" + std::to_string(sqlite3_extended_errcode(db)) +
         ")";
}

/// One prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& Bind(int index, std::optional<uint64_t> value) {
    if (value) return Bind(index, static_cast<int64_t>(*value));
    sqlite3_bind_null(stmt_, index);
    return *this;
  }
  /// SQLITE_ROW, SQLITE_DONE or the error.
  int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  std::string Text(int column) {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                : std::string();
  }
  int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  bool Null(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

/// How many of the newest matches of a search by words are sorted by time.
constexpr int kSearchWindow = 100;

/// How many columns kRowColumns reads.
constexpr int kRowColumnCount = 8;

RecordedPre RowAt(Statement& row) {
  RecordedPre pre;
  pre.id = row.Int(0);
  pre.release = row.Text(1);
  pre.group = row.Text(2);
  pre.section = row.Text(3);
  pre.path = row.Text(4);
  pre.folder_id = row.Text(5);
  pre.pre_time = row.Text(6);
  pre.age_ms = row.Int(7);
  return pre;
}

bool Exec(sqlite3* db, const std::string& sql, const std::string& step, std::string* why) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  *why = Why(db, step);
  return false;
}

/// Runs one statement that returns no rows; true when it ran to its end.
bool Run(sqlite3* db, Statement& statement, const std::string& step, std::string* why) {
  if (statement.Step() == SQLITE_DONE) return true;
  *why = Why(db, step);
  return false;
}

/// A write transaction that is rolled back unless committed. BEGIN
/// IMMEDIATE takes the write lock at once, so that the look and the write
/// after it are one step for every other writer.
class WriteTransaction {
 public:
  explicit WriteTransaction(sqlite3* db) : db_(db) {}
  ~WriteTransaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  bool Begin(std::string* why) { return open_ = Exec(db_, "BEGIN IMMEDIATE", "lock", why); }
  bool Commit(std::string* why) {
    if (!Exec(db_, "COMMIT", "commit", why)) return false;
    open_ = false;
    return true;
  }

 private:
  sqlite3* db_;
  bool open_ = false;
};

int64_t UserVersion(sqlite3* db, bool* ok) {
  Statement version(db, "PRAGMA user_version");
  *ok = version.Step() == SQLITE_ROW;
  return *ok ? version.Int(0) : 0;
}

/// The phrase of FTS5's query language that matches `word` as it stands.
std::string Phrase(const std::string& word) {
  std::string quoted = "\"";
  for (const char c : word) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

}  // namespace

std::unique_ptr<PreRecord> PreRecord::Open(const std::string& path, RecordPause pause,
                                           std::string* why) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *why = db ? Why(db, "open") : "open: out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  std::unique_ptr<PreRecord> record(new PreRecord(db, false, std::move(pause)));
  sqlite3_busy_handler(db, &PreRecord::OnBusy, record.get());
  if (!record->Prepare(why)) return nullptr;
  return record;
}

bool PreRecord::Inspect(const std::string& path, std::string* why) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW;
  bool ok = sqlite3_open_v2(path.c_str(), &db, flags, nullptr) == SQLITE_OK;
  if (ok) {
    const int64_t version = UserVersion(db, &ok);
    const char* look = version == 0 ? "SELECT count(*) FROM sqlite_schema HAVING count(*) = 0"
                                    : "SELECT count(*) FROM pres";
    Statement rows(db, look);
    ok = ok && rows.Step() == SQLITE_ROW;
    if (!ok) *why = version == 0 ? "it is a database, but not a record" : Why(db, "read");
  } else {
    *why = db ? Why(db, "open") : "open: out of memory";
  }
  sqlite3_close(db);
  return ok;
}

PreRecord::~PreRecord() { sqlite3_close(db_); }

int PreRecord::OnBusy(void* record, int tries) {
  const RecordPause& pause = static_cast<PreRecord*>(record)->pause_;
  return pause && pause(tries) ? 1 : 0;
}

bool PreRecord::Prepare(std::string* why) {
  bool ok = false;
  int64_t version = UserVersion(db_, &ok);
  if (!ok) {
    *why = Why(db_, "read the schema version");
    return false;
  }
  if (version > kRecordVersion) {
    // A later program's record: read what is understood, change nothing.
    read_only_ = true;
    return Exec(db_, "PRAGMA query_only = 1", "open read-only", why);
  }
  // Write-ahead logging lets the siteop's readers never hold up a pre;
  // NORMAL syncs at checkpoints only.
  if (!Exec(db_, "PRAGMA journal_mode = WAL", "write-ahead log", why) ||
      !Exec(db_, "PRAGMA synchronous = NORMAL", "synchronous", why)) {
    return false;
  }
  // Every run is the last to close the record. A checkpoint there would
  // sync the log and the file and delete the log, and the next run would
  // make a new log and sync its header and the folder: four flushes for
  // one row. The log stays for the next run instead, which reads it back
  // when it opens the record, and is copied into the file once it holds
  // kCheckpointPages pages.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  if (!Exec(db_, "PRAGMA wal_autocheckpoint = " + std::to_string(kCheckpointPages),
            "checkpoint size", why)) {
    return false;
  }
  if (version == kRecordVersion) return true;
  WriteTransaction create(db_);
  if (!create.Begin(why)) return false;
  // Another run may have made it while this one waited for the lock.
  version = UserVersion(db_, &ok);
  if (ok && version == 0 && !Exec(db_, kSchema, "create the schema", why)) return false;
  return create.Commit(why);
}

std::optional<int64_t> PreRecord::AgeMs(std::string* why) {
  Statement age(db_,
                "SELECT CAST(round((julianday('now') - julianday(min(created))) * 86400000) "
                "AS INTEGER) FROM record_info");
  if (age.Step() != SQLITE_ROW) {
    *why = Why(db_, "read the record's age");
    return std::nullopt;
  }
  return age.Int(0);
}

bool PreRecord::ForgetRunsOf(const RunSlot& run, std::string* why) {
  // Which run holds each reservation; made here, where it is first needed,
  // also in records made before it existed.
  if (!Exec(db_, "CREATE TABLE IF NOT EXISTS pending_runs(pre_id INTEGER PRIMARY KEY, "
                 "slot INTEGER NOT NULL)", "keep the runs", why)) {
    return false;
  }
  if (run.slot < 0) return true;
  // This run holds the slot now: whoever held it before has ended.
  Statement forget(db_, "DELETE FROM pres WHERE folder_id IS NULL AND id IN "
                        "(SELECT pre_id FROM pending_runs WHERE slot = ?1)");
  forget.Bind(1, static_cast<int64_t>(run.slot));
  Statement slots(db_, "DELETE FROM pending_runs WHERE slot = ?1");
  slots.Bind(1, static_cast<int64_t>(run.slot));
  return Run(db_, forget, "forget ended runs", why) && Run(db_, slots, "forget ended runs", why);
}

PreRecord::Holder PreRecord::LookForHolder(const NewPre& pre, int days, const RunSlot& run,
                                           RecordedPre* found, std::string* why) {
  // A live pre: done within the days and not undone, or still moving.
  Statement look(db_, std::string("SELECT ") + kRowColumns +
                          ", (SELECT slot FROM pending_runs r WHERE r.pre_id = p.id)"
                          " FROM pres p WHERE p.release_key = ?1 AND p.unpre_time IS NULL AND "
                          "((p.folder_id IS NOT NULL AND ?2 > 0 AND p.pre_time >= "
                          "strftime('%Y-%m-%dT%H:%M:%fZ','now', '-' || ?2 || ' days')) OR "
                          "(p.folder_id IS NULL AND p.pre_time >= "
                          "strftime('%Y-%m-%dT%H:%M:%fZ','now', '-" +
                          std::to_string(kPendingMinutes) +
                          " minutes'))) ORDER BY p.id DESC LIMIT 1");
  look.Bind(1, pre.key).Bind(2, static_cast<int64_t>(days));
  const int looked = look.Step();
  if (looked == SQLITE_DONE) return Holder::kNone;
  if (looked != SQLITE_ROW) {
    *why = Why(db_, "look up the name");
    return Holder::kFailed;
  }
  *found = RowAt(look);
  const int slot = static_cast<int>(look.Int(kRowColumnCount));
  if (!found->folder_id.empty() || look.Null(kRowColumnCount) || !run.runs || run.runs(slot)) {
    return Holder::kLive;
  }
  Statement forget(db_, "DELETE FROM pres WHERE id = ?1");
  forget.Bind(1, found->id);
  return Run(db_, forget, "forget an ended run", why) && ForgetRun(found->id, why)
             ? Holder::kEnded
             : Holder::kFailed;
}

Reservation PreRecord::Reserve(const NewPre& pre, int days, const RunSlot& run,
                               RecordedPre* found, int64_t* id, std::string* why) {
  if (read_only_) {
    *why = "the record is of a later version and only read";
    return Reservation::kFailed;
  }
  WriteTransaction reserve(db_);
  if (!reserve.Begin(why) || !ForgetRunsOf(run, why)) return Reservation::kFailed;
  Holder holder = Holder::kEnded;
  // Each look that meets a reservation of an ended run removes it.
  for (int tries = 0; holder == Holder::kEnded && tries < 16; ++tries) {
    holder = LookForHolder(pre, days, run, found, why);
  }
  if (holder == Holder::kFailed) return Reservation::kFailed;
  if (holder != Holder::kNone) return Reservation::kTaken;
  Statement add(db_, std::string("INSERT INTO pres(release, release_key, group_name, section, "
                                 "path, pre_time) VALUES (?1, ?2, ?3, nullif(?4, ''), ?5, ") +
                         kNow + ")");
  add.Bind(1, pre.release).Bind(2, pre.key).Bind(3, pre.group).Bind(4, pre.section);
  add.Bind(5, pre.path);
  if (!Run(db_, add, "reserve the name", why)) return Reservation::kFailed;
  const int64_t added = sqlite3_last_insert_rowid(db_);
  // Row numbers come back after a removal: what a run left there is not
  // this one's.
  Statement held(db_, "INSERT INTO pending_runs(pre_id, slot) VALUES (?1, ?2)");
  held.Bind(1, added).Bind(2, static_cast<int64_t>(run.slot));
  if (!ForgetRun(added, why) || (run.slot >= 0 && !Run(db_, held, "reserve the name", why)) ||
      !reserve.Commit(why)) {
    return Reservation::kFailed;
  }
  *id = added;
  return Reservation::kReserved;
}

bool PreRecord::ForgetRun(int64_t id, std::string* why) {
  Statement forget(db_, "DELETE FROM pending_runs WHERE pre_id = ?1");
  forget.Bind(1, id);
  return Run(db_, forget, "forget the run", why);
}

bool PreRecord::Complete(int64_t id, const std::string& folder_id,
                         std::optional<uint64_t> files, std::optional<uint64_t> bytes,
                         std::string* why) {
  Statement done(db_, std::string("UPDATE pres SET folder_id = ?2, files = ?3, bytes = ?4, "
                                  "pre_time = ") +
                          kNow + " WHERE id = ?1");
  done.Bind(1, id).Bind(2, folder_id).Bind(3, files).Bind(4, bytes);
  // Its entry in pending_runs means nothing now that the row is done, and
  // goes when the next run takes the slot.
  return Run(db_, done, "record the pre", why);
}

bool PreRecord::Drop(int64_t id, std::string* why) {
  Statement drop(db_, "DELETE FROM pres WHERE id = ?1 AND folder_id IS NULL");
  drop.Bind(1, id);
  return Run(db_, drop, "drop the reservation", why);
}

std::optional<RecordedPre> PreRecord::Latest(const std::string& key, std::string* why) {
  Statement latest(db_, std::string("SELECT ") + kRowColumns +
                            " FROM pres p WHERE p.release_key = ?1 AND p.folder_id IS NOT NULL "
                            "AND p.unpre_time IS NULL ORDER BY p.pre_time DESC, p.id DESC "
                            "LIMIT 1");
  latest.Bind(1, key);
  const int stepped = latest.Step();
  if (stepped == SQLITE_ROW) return RowAt(latest);
  if (stepped != SQLITE_DONE) *why = Why(db_, "look up the release");
  return std::nullopt;
}

std::optional<std::vector<RecordedPre>> PreRecord::Search(const std::vector<std::string>& words,
                                                          int limit, std::string* why) {
  std::string query;
  for (const std::string& word : words) {
    query += (query.empty() ? "" : " ") + Phrase(word);
  }
  // The trigram index finds the rows holding every word without reading
  // the others, newest reservation first. Only the newest kSearchWindow of
  // them are sorted by pre time, so that common words cost what rare ones
  // do: a row further back would be among the newest only if that many
  // pres of such names were reserved and done while its copy ran.
  std::optional<std::vector<RecordedPre>> rows = SearchRows(query, limit, kSearchWindow, why);
  // Fewer than asked: the window may have held rows not shown (undone,
  // moving), and all matches are few enough to sort.
  if (rows && static_cast<int>(rows->size()) < limit) rows = SearchRows(query, limit, -1, why);
  return rows;
}

std::optional<std::vector<RecordedPre>> PreRecord::SearchRows(const std::string& query, int limit,
                                                              int window, std::string* why) {
  Statement search(db_, std::string("SELECT ") + kRowColumns +
                            " FROM pres p WHERE p.id IN (SELECT rowid FROM pres_names WHERE "
                            "pres_names MATCH ?1 ORDER BY rowid DESC LIMIT ?3) AND "
                            "p.folder_id IS NOT NULL AND p.unpre_time IS NULL "
                            "ORDER BY p.pre_time DESC, p.id DESC LIMIT ?2");
  search.Bind(1, query).Bind(2, static_cast<int64_t>(limit)).Bind(3, int64_t{window});
  std::vector<RecordedPre> rows;
  int stepped = SQLITE_ROW;
  while ((stepped = search.Step()) == SQLITE_ROW) rows.push_back(RowAt(search));
  if (stepped != SQLITE_DONE) {
    *why = Why(db_, "search");
    return std::nullopt;
  }
  return rows;
}

bool PreRecord::MarkUndone(int64_t id, bool undone, std::string* why) {
  Statement mark(db_, std::string("UPDATE pres SET unpre_time = ") +
                          (undone ? kNow : "NULL") + " WHERE id = ?1");
  mark.Bind(1, id);
  if (!Run(db_, mark, undone ? "mark the unpre" : "take the unpre mark back", why)) return false;
  if (sqlite3_changes(db_) == 1) return true;
  *why = "the row is gone";
  return false;
}

}  // namespace ovpre
