#include "history/History.h"
#include "history/Sqlite.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>

namespace {

constexpr int64_t MsPerDay = 86400000;
constexpr int64_t MsPerHour = 3600000;
constexpr int BusyStepMs = 10;

// The rows: one per monitor (list path and name), one per check, and one per monitor and
// UTC day with the day's checks and failures, kept with the checks, so that an uptime over
// 7 or 30 days adds up a few dozen rows instead of counting a few hundred thousand. An outcome's key is its
// monitor and start, so the rows of one monitor lie together in time order and a chart's
// range is one short walk of the tree; WITHOUT ROWID keeps that key the only index.
// Incremental auto-vacuum gives the pages of pruned rows back to the file system. The file's
// user_version is the schema's version (0 in files made before it was kept: the same schema).
constexpr const char* SchemaSql = R"(
PRAGMA auto_vacuum = INCREMENTAL;
PRAGMA journal_mode = WAL;
PRAGMA synchronous = NORMAL;
CREATE TABLE IF NOT EXISTS monitor (
    id INTEGER PRIMARY KEY,
    list TEXT NOT NULL,
    name TEXT NOT NULL,
    UNIQUE (list, name));
CREATE TABLE IF NOT EXISTS outcome (
    monitor INTEGER NOT NULL,
    start INTEGER NOT NULL,
    ok INTEGER NOT NULL,
    ms INTEGER NOT NULL,
    reason TEXT NOT NULL,
    PRIMARY KEY (monitor, start)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS daily (
    monitor INTEGER NOT NULL,
    day INTEGER NOT NULL,
    checks INTEGER NOT NULL,
    failures INTEGER NOT NULL,
    PRIMARY KEY (monitor, day)) WITHOUT ROWID;
PRAGMA user_version = 1;
)";
static_assert(HistorySchemaVersion == 1, "SchemaSql writes the version");

// The day (UTC) of a time, for the daily counts.
int64_t DayOf(int64_t AMs)
{
    return AMs >= 0 ? AMs / MsPerDay : -((-AMs + MsPerDay - 1) / MsPerDay);
}

// A prepared statement, finalised on every path.
class TStatement {
public:
    TStatement(sqlite3* ADb, const char* ASql)
    {
        if (Sqlite().prepare_v2(ADb, ASql, -1, &FStmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(Sqlite().errmsg(ADb));
    }
    ~TStatement() { Sqlite().finalize(FStmt); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;

    TStatement& Bind(int AIndex, int64_t AValue)
    {
        Sqlite().bind_int64(FStmt, AIndex, AValue);
        return *this;
    }
    TStatement& Bind(int AIndex, const std::string& AValue)
    {
        Sqlite().bind_text(FStmt, AIndex, AValue.data(), static_cast<int>(AValue.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True while there is a row; raises on an error.
    bool Step()
    {
        const int Result = Sqlite().step(FStmt);
        if (Result == SQLITE_ROW)
            return true;
        if (Result == SQLITE_DONE)
            return false;
        throw std::runtime_error(Sqlite().errmsg(Sqlite().db_handle(FStmt)));
    }
    void Reset()
    {
        Sqlite().reset(FStmt);
        Sqlite().clear_bindings(FStmt);
    }
    int64_t Int(int AColumn) const { return Sqlite().column_int64(FStmt, AColumn); }
    std::string Text(int AColumn) const
    {
        const auto* Data = reinterpret_cast<const char*>(Sqlite().column_text(FStmt, AColumn));
        return Data ? std::string(Data, static_cast<size_t>(Sqlite().column_bytes(FStmt, AColumn)))
                    : std::string();
    }

private:
    sqlite3_stmt* FStmt = nullptr;
};

void Exec(sqlite3* ADb, const char* ASql)
{
    char* Message = nullptr;
    if (Sqlite().exec(ADb, ASql, nullptr, nullptr, &Message) != SQLITE_OK) {
        std::string Text = Message ? Message : Sqlite().errmsg(ADb);
        Sqlite().free(Message);
        throw std::runtime_error(Text);
    }
}

// Makes AFolder and its missing parents, each new one private to the user. Empty on success,
// otherwise why not.
std::string MakeFolders(const std::string& AFolder)
{
    std::string Path;
    size_t At = 0;
    while (At != std::string::npos) {
        At = AFolder.find('/', At + 1);
        Path = AFolder.substr(0, At);
        if (Path.empty())
            continue;
        if (::mkdir(Path.c_str(), 0700) != 0 && errno != EEXIST)
            return "cannot make " + Path + ": " + std::strerror(errno);
    }
    struct stat Info { };
    if (::stat(AFolder.c_str(), &Info) != 0 || !S_ISDIR(Info.st_mode))
        return "cannot make " + AFolder + ": not a folder";
    return {};
}

// The file's schema version, or why it cannot be used: a newer schema than this program's is
// left as it is (its tables may hold what this program would drop or misread).
std::string CheckSchemaVersion(sqlite3* ADb, const std::string& AFileName)
{
    TStatement Read(ADb, "PRAGMA user_version");
    const int64_t Version = Read.Step() ? Read.Int(0) : 0;
    if (Version <= HistorySchemaVersion)
        return {};
    return AFileName + " is of history version " + std::to_string(Version) + ", newer than version "
        + std::to_string(HistorySchemaVersion) + " that this program reads; it is left as it is";
}

std::optional<THistoryFileId> FileIdOf(const std::string& AFileName)
{
    struct stat Info { };
    if (::stat(AFileName.c_str(), &Info) != 0)
        return std::nullopt;
    return THistoryFileId { Info.st_dev, Info.st_ino };
}

// Closes ADb, open on AFileName as the file AFileId. When the path names another file by now,
// without the checkpoint of the last close: it would write into the file that is gone and then
// delete the write-ahead log by its name, which may be the log of the new file.
void CloseDatabase(sqlite3* ADb, const std::string& AFileName, const std::optional<THistoryFileId>& AFileId)
{
    if (FileIdOf(AFileName) != AFileId)
        Sqlite().db_config(ADb, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    Sqlite().close_v2(ADb);
}

std::string FolderOf(const std::string& AFileName)
{
    const size_t Slash = AFileName.rfind('/');
    return Slash == std::string::npos || Slash == 0 ? std::string() : AFileName.substr(0, Slash);
}

} // namespace

std::string DefaultHistoryFile()
{
    const char* State = std::getenv("XDG_STATE_HOME");
    if (State && State[0] == '/')
        return std::string(State) + "/vardex/history.sqlite";
    const char* Home = std::getenv("HOME");
    if (Home && Home[0] == '/')
        return std::string(Home) + "/.local/state/vardex/history.sqlite";
    return {};
}

std::string HistoryListKey(const std::string& AFileName)
{
    std::error_code Failed;
    const std::filesystem::path Absolute = std::filesystem::absolute(AFileName, Failed);
    if (Failed)
        return AFileName;
    const std::filesystem::path Resolved = std::filesystem::weakly_canonical(Absolute, Failed);
    return (Failed ? Absolute.lexically_normal() : Resolved).string();
}

THistorySettings HistorySettingsFromEnvironment()
{
    THistorySettings Result;
    Result.FileName = DefaultHistoryFile();
    if (const char* Switch = std::getenv("VARDEX_HISTORY")) {
        const std::string Value = Switch;
        if (Value == "off" || Value == "0" || Value == "no" || Value == "false")
            Result.Enabled = false;
        else if (!Value.empty() && Value != "on" && Value != "1" && Value != "yes" && Value != "true")
            Result.Problem = "VARDEX_HISTORY is on, off, 1, 0, yes, no, true or false, not '" + Value + "'";
    }
    if (const char* Days = std::getenv("VARDEX_HISTORY_DAYS")) {
        const std::string Value = Days;
        int N = 0;
        bool Good = !Value.empty() && Value.size() <= 4
            && Value.find_first_not_of("0123456789") == std::string::npos;
        if (Good) {
            N = std::stoi(Value);
            Good = N >= 1 && N <= 3650;
        }
        if (Good)
            Result.RetentionDays = N;
        else
            Result.Problem = "VARDEX_HISTORY_DAYS is a number of days from 1 to 3650, not '" + Value + "'";
    }
    return Result;
}

int64_t HistoryNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t NearestRank(const std::vector<int64_t>& ASorted, int APercent)
{
    if (ASorted.empty())
        return -1;
    // The smallest value with at least APercent of the values at or below it.
    const size_t N = ASorted.size();
    size_t Rank = (N * static_cast<size_t>(APercent) + 99) / 100;
    Rank = std::clamp<size_t>(Rank, 1, N);
    return ASorted[Rank - 1];
}

// ---------------------------------------------------------------------------------------
// THistoryRecorder

THistoryRecorder::THistoryRecorder(std::string AFileName, TClock AClock)
    : FFileName(std::move(AFileName))
    , FClock(AClock ? std::move(AClock) : TClock(HistoryNowMs))
{
}

THistoryRecorder::~THistoryRecorder()
{
    Stop();
}

void THistoryRecorder::Start()
{
    std::lock_guard Lock(FLock);
    if (FStarted)
        return;
    FStarted = true;
    FWriter = std::thread([this] { Run(); });
}

int THistoryRecorder::Busy(void* ASelf, int ACount)
{
    // Another program holds the file. Wait for it in short steps up to the busy time-out, but
    // not once Stop is waiting: the program's exit does not wait on another program's lock.
    const auto* Self = static_cast<const THistoryRecorder*>(ASelf);
    if (Self->FCancelled.load() || int64_t(ACount) * BusyStepMs >= Self->FBusyTimeout.count())
        return 0;
    Sqlite().sleep(BusyStepMs);
    return 1;
}

void THistoryRecorder::Stop()
{
    {
        std::lock_guard Lock(FLock);
        if (!FStarted || FStopping)
            return;
        FStopping = true;
        FCancelled.store(true);
    }
    FWake.notify_all();
    FWriter.join();
}

void THistoryRecorder::Enqueue(TCommand ACommand)
{
    {
        std::lock_guard Lock(FLock);
        if (!FStarted || FStopping || FDisabled.load())
            return;
        FQueue.push_back(std::move(ACommand));
        ++FQueuedSeq;
    }
    FWake.notify_one();
}

bool THistoryRecorder::Record(THistoryOutcome AOutcome)
{
    if (FDisabled.load())
        return false;
    // A reason can be a whole line a server sent; the history keeps its start, cut where a
    // UTF-8 character begins, so that a failing monitor cannot make the file grow by
    // kilobytes a check.
    if (AOutcome.Reason.size() > MaxReasonBytes) {
        size_t Cut = MaxReasonBytes;
        while (Cut > 0 && (static_cast<unsigned char>(AOutcome.Reason[Cut]) & 0xC0) == 0x80)
            --Cut;
        AOutcome.Reason.resize(Cut);
    }
    {
        std::lock_guard Lock(FLock);
        if (!FStarted || FStopping || FDisabled.load())
            return false;
        if (FQueuedOutcomes >= FQueueLimit) {
            FDropped.fetch_add(1);
            return false;
        }
        FQueue.push_back(std::move(AOutcome));
        ++FQueuedOutcomes;
        ++FQueuedSeq;
    }
    FWake.notify_one();
    return true;
}

void THistoryRecorder::Rename(
    const std::string& AListPath, const std::string& AOldName, const std::string& ANewName)
{
    if (AOldName != ANewName)
        Enqueue(TRename { AListPath, AOldName, ANewName });
}

void THistoryRecorder::Prune()
{
    Enqueue(TPrune {});
}

bool THistoryRecorder::Flush(std::chrono::milliseconds ATimeout)
{
    std::unique_lock Lock(FLock);
    if (!FStarted)
        return false;
    const uint64_t Wanted = FQueuedSeq;
    FFlushing = true;
    FWake.notify_one();
    const bool Done = FWritten.wait_for(
        Lock, ATimeout, [&] { return (FReady && FWrittenSeq >= Wanted) || FDisabled.load(); });
    FFlushing = false;
    return Done && !FDisabled.load();
}

std::string THistoryRecorder::DisabledReason() const
{
    std::lock_guard Lock(FLock);
    return FReason;
}

void THistoryRecorder::Disable(const std::string& AReason)
{
    // Only the writer switches the recorder off, so this test and the store cannot race.
    if (FDisabled.load())
        return;
    // Told before Flush can return, so that whoever flushed finds the reason given.
    if (OnDisabled)
        OnDisabled(AReason);
    {
        std::lock_guard Lock(FLock);
        FReason = AReason;
        FDisabled.store(true);
        FQueue.clear();
        FQueuedOutcomes = 0;
    }
    FWritten.notify_all();
}

bool THistoryRecorder::Open()
{
    if (FFileName.empty()) {
        Disable("no folder for the history: neither XDG_STATE_HOME nor HOME is set");
        return false;
    }
    const std::string Folder = FolderOf(FFileName);
    if (!Folder.empty()) {
        const std::string Wrong = MakeFolders(Folder);
        if (!Wrong.empty()) {
            Disable(Wrong);
            return false;
        }
    }
    const int Result = Sqlite().open_v2(
        FFileName.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (Result != SQLITE_OK) {
        Disable("cannot open " + FFileName + ": " + (FDb ? Sqlite().errmsg(FDb) : Sqlite().errstr(Result)));
        return false;
    }
    Sqlite().busy_handler(FDb, &THistoryRecorder::Busy, this);
    // The last connection to close would otherwise copy the WAL into the file and sync both
    // (two fdatasyncs of up to 4 MiB): on a slow disk that held the exit for seconds. What is
    // committed to the WAL is safe once the process ends, and the next writer takes it up.
    Sqlite().db_config(FDb, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // A file the user may not write is opened for reading without a word; every write would
    // fail later, so it is refused here.
    if (Sqlite().db_readonly(FDb, "main") == 1) {
        Disable("cannot write " + FFileName + ": the file is read-only");
        return false;
    }
    try {
        if (const std::string Newer = CheckSchemaVersion(FDb, FFileName); !Newer.empty()) {
            Disable(Newer);
            return false;
        }
        Exec(FDb, SchemaSql);
    } catch (const std::exception& E) {
        Disable("cannot use " + FFileName + ": " + E.what());
        return false;
    }
    FFileId = FileIdOf(FFileName);
    return true;
}

void THistoryRecorder::Close()
{
    if (FDb)
        CloseDatabase(FDb, FFileName, FFileId);
    FDb = nullptr;
    FIds.clear();
}

void THistoryRecorder::FollowFile()
{
    if (!FDb || FDisabled.load() || FileIdOf(FFileName) == FFileId)
        return;
    Close();
    if (Open() && OnNotice)
        OnNotice("history file " + FFileName + " was removed or replaced; recording goes on in a new one");
}

std::optional<int64_t> THistoryRecorder::PruneCutoff(int64_t ANow, const std::vector<int64_t>& AIds) const
{
    // The clock alone cannot be trusted to age the rows: one run under a clock far ahead would
    // make every row look old. So the retention counts back from the newest recorded check
    // when that is earlier than now, and never reaches into the last FRetentionDays days on
    // which anything was recorded, so that rows stamped by a clock ahead cannot push out the
    // rows recorded before them.
    std::optional<int64_t> Newest;
    TStatement Last(FDb, "SELECT start FROM outcome WHERE monitor = ? ORDER BY start DESC LIMIT 1");
    for (const int64_t Id : AIds) {
        Last.Bind(1, Id);
        if (Last.Step())
            Newest = std::max(Newest.value_or(INT64_MIN), Last.Int(0));
        Last.Reset();
    }
    TStatement Days(FDb, "SELECT DISTINCT day FROM daily ORDER BY day DESC LIMIT 1 OFFSET ?");
    Days.Bind(1, int64_t(FRetentionDays) - 1);
    if (!Newest || !Days.Step())
        return std::nullopt;
    return std::min(std::min(ANow, *Newest) - int64_t(FRetentionDays) * MsPerDay, Days.Int(0) * MsPerDay);
}

int THistoryRecorder::Interrupt(void* ASelf)
{
    return static_cast<const THistoryRecorder*>(ASelf)->FCancelled.load() ? 1 : 0;
}

void THistoryRecorder::PruneNow()
{
    // A prune of a large file (after a long stop) may take a while; Stop does not wait for
    // it: the delete is rolled back and runs again at the next start.
    Sqlite().progress_handler(FDb, 1000, &THistoryRecorder::Interrupt, this);
    try {
        PruneRows();
    } catch (const std::exception&) {
        Sqlite().progress_handler(FDb, 0, nullptr, nullptr);
        if (!FCancelled.load())
            throw;
        return;
    }
    Sqlite().progress_handler(FDb, 0, nullptr, nullptr);
}

void THistoryRecorder::PruneRows()
{
    const int64_t Now = FClock();
    // Monitor by monitor, so that each delete is a range of the outcome key, not a scan of
    // every row.
    std::vector<int64_t> Ids;
    {
        TStatement Select(FDb, "SELECT id FROM monitor");
        while (Select.Step())
            Ids.push_back(Select.Int(0));
    }
    Exec(FDb, "BEGIN IMMEDIATE");
    try {
        TStatement Delete(FDb, "DELETE FROM outcome WHERE monitor = ? AND start < ?");
        // The day the cutoff falls in keeps its counts: they are read only for whole days
        // after a span's start.
        TStatement DeleteDays(FDb, "DELETE FROM daily WHERE monitor = ? AND day < ?");
        // Without a cutoff nothing is old enough to go; monitors without rows still are.
        if (const std::optional<int64_t> Cutoff = PruneCutoff(Now, Ids))
            for (const int64_t Id : Ids) {
                Delete.Bind(1, Id).Bind(2, *Cutoff).Step();
                Delete.Reset();
                DeleteDays.Bind(1, Id).Bind(2, DayOf(*Cutoff)).Step();
                DeleteDays.Reset();
            }
        // A monitor whose rows are all gone (deleted from its list, or renamed, long ago).
        Exec(FDb,
            "DELETE FROM monitor WHERE NOT EXISTS (SELECT 1 FROM outcome WHERE outcome.monitor = "
            "monitor.id)");
        Exec(FDb,
            "DELETE FROM daily WHERE NOT EXISTS (SELECT 1 FROM monitor WHERE monitor.id = daily.monitor)");
        Exec(FDb, "COMMIT");
    } catch (...) {
        Sqlite().exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    Exec(FDb, "PRAGMA incremental_vacuum");
    FIds.clear();
    FLastPruneMs = Now;
}

void THistoryRecorder::WriteBatch(std::deque<TCommand>& ABatch)
{
    Exec(FDb, "BEGIN IMMEDIATE");
    try {
        TStatement AddMonitor(FDb, "INSERT OR IGNORE INTO monitor (list, name) VALUES (?, ?)");
        TStatement FindMonitor(FDb, "SELECT id FROM monitor WHERE list = ? AND name = ?");
        // A second check of one monitor in the same millisecond (two monitors of one name)
        // keeps the first.
        TStatement AddOutcome(
            FDb, "INSERT OR IGNORE INTO outcome (monitor, start, ok, ms, reason) VALUES (?, ?, ?, ?, ?)");
        TStatement CountDay(FDb,
            "INSERT INTO daily (monitor, day, checks, failures) VALUES (?, ?, 1, ?) ON CONFLICT (monitor, "
            "day) DO UPDATE SET "
            "checks = checks + 1, failures = failures + excluded.failures");
        auto IdOf = [&](const std::string& AList, const std::string& AName, bool AMake) -> int64_t {
            auto Key = std::make_pair(AList, AName);
            if (auto Found = FIds.find(Key); Found != FIds.end())
                return Found->second;
            if (AMake) {
                AddMonitor.Bind(1, AList).Bind(2, AName).Step();
                AddMonitor.Reset();
            }
            FindMonitor.Bind(1, AList).Bind(2, AName);
            const int64_t Id = FindMonitor.Step() ? FindMonitor.Int(0) : -1;
            FindMonitor.Reset();
            if (Id >= 0)
                FIds.emplace(std::move(Key), Id);
            return Id;
        };
        for (TCommand& Command : ABatch) {
            if (auto* Outcome = std::get_if<THistoryOutcome>(&Command)) {
                const int64_t Id = IdOf(Outcome->ListPath, Outcome->Monitor, true);
                AddOutcome.Bind(1, Id)
                    .Bind(2, Outcome->StartMs)
                    .Bind(3, Outcome->OK ? 1 : 0)
                    .Bind(4, Outcome->ResponseMs)
                    .Bind(5, Outcome->Reason)
                    .Step();
                AddOutcome.Reset();
                if (Sqlite().changes(FDb) == 1) {
                    CountDay.Bind(1, Id).Bind(2, DayOf(Outcome->StartMs)).Bind(3, Outcome->OK ? 0 : 1).Step();
                    CountDay.Reset();
                }
            } else if (auto* Rename = std::get_if<TRename>(&Command)) {
                const int64_t Old = IdOf(Rename->ListPath, Rename->OldName, false);
                if (Old < 0)
                    continue;
                const int64_t New = IdOf(Rename->ListPath, Rename->NewName, true);
                TStatement Move(FDb, "UPDATE OR IGNORE outcome SET monitor = ? WHERE monitor = ?");
                Move.Bind(1, New).Bind(2, Old).Step();
                TStatement DropRows(FDb, "DELETE FROM outcome WHERE monitor = ?");
                DropRows.Bind(1, Old).Step();
                TStatement MoveDays(FDb,
                    "INSERT INTO daily (monitor, day, checks, failures) SELECT ?, day, checks, failures "
                    "FROM daily WHERE monitor = ? "
                    "ON CONFLICT (monitor, day) DO UPDATE SET checks = checks + excluded.checks, "
                    "failures = failures + excluded.failures");
                MoveDays.Bind(1, New).Bind(2, Old).Step();
                TStatement DropDays(FDb, "DELETE FROM daily WHERE monitor = ?");
                DropDays.Bind(1, Old).Step();
                TStatement DropMonitor(FDb, "DELETE FROM monitor WHERE id = ?");
                DropMonitor.Bind(1, Old).Step();
                FIds.clear();
            }
        }
        Exec(FDb, "COMMIT");
    } catch (...) {
        Sqlite().exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
        FIds.clear();
        throw;
    }
    bool PruneAsked = std::any_of(
        ABatch.begin(), ABatch.end(), [](const TCommand& C) { return std::holds_alternative<TPrune>(C); });
    // Also when the wall clock went back past the last prune.
    const int64_t SincePrune = FClock() - FLastPruneMs;
    if (PruneAsked || SincePrune >= MsPerHour || SincePrune < 0)
        PruneNow();
}

void THistoryRecorder::Run()
{
    if (Open()) {
        try {
            PruneNow();
        } catch (const std::exception& E) {
            Disable("cannot write " + FFileName + ": " + E.what());
        }
    }
    std::unique_lock Lock(FLock);
    FReady = true;
    FWritten.notify_all();
    for (;;) {
        if (!FWake.wait_for(Lock, FWatchInterval, [&] { return FStopping || !FQueue.empty(); })) {
            Lock.unlock();
            FollowFile();
            Lock.lock();
            continue;
        }
        // Gather a batch: one transaction a second costs far less than one per check.
        if (!FStopping && !FFlushing)
            FWake.wait_for(Lock, FBatchDelay, [&] { return FStopping || FFlushing; });
        if (FQueue.empty() && FStopping)
            break;
        std::deque<TCommand> Batch;
        Batch.swap(FQueue);
        FQueuedOutcomes = 0;
        const uint64_t Seq = FQueuedSeq;
        const bool Disabled = FDisabled.load();
        const bool Last = FStopping;
        Lock.unlock();
        // The last batch commits to the WAL and no more: a checkpoint there would sync the
        // file on the way out (see Open).
        if (Last && FDb)
            Sqlite().wal_autocheckpoint(FDb, 0);
        if (!Disabled && !Batch.empty()) {
            FollowFile();
            try {
                if (!FDisabled.load())
                    WriteBatch(Batch);
            } catch (const std::exception& E) {
                Disable("cannot write " + FFileName + ": " + E.what());
            }
        }
        Lock.lock();
        FWrittenSeq = Seq;
        FWritten.notify_all();
        if (FStopping && FQueue.empty())
            break;
    }
    Lock.unlock();
    Close();
}

// ---------------------------------------------------------------------------------------
// THistoryReader

THistoryReader::THistoryReader(std::string AFileName)
    : FFileName(std::move(AFileName))
{
}

THistoryReader::~THistoryReader()
{
    if (FDb)
        CloseDatabase(FDb, FFileName, FFileId);
}

void THistoryReader::Fail(const std::string& AWhat)
{
    FError = "cannot read " + FFileName + ": " + AWhat;
}

bool THistoryReader::Open()
{
    // A file removed or replaced since: the writer has gone on in a new one.
    if (FDb && FileIdOf(FFileName) != FFileId) {
        CloseDatabase(FDb, FFileName, FFileId);
        FDb = nullptr;
    }
    if (FDb)
        return true;
    struct stat Info { };
    if (FFileName.empty() || ::stat(FFileName.c_str(), &Info) != 0) {
        Fail(FFileName.empty() ? "no history file" : std::strerror(errno));
        return false;
    }
    if (Sqlite().open_v2(FFileName.c_str(), &FDb, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr)
        != SQLITE_OK) {
        Fail(FDb ? Sqlite().errmsg(FDb) : "out of memory");
        Sqlite().close_v2(FDb);
        FDb = nullptr;
        return false;
    }
    FFileId = FileIdOf(FFileName);
    // A query waits this long at most for a writer's lock, so a window that draws the chart
    // never hangs on another process.
    Sqlite().busy_timeout(FDb, 100);
    try {
        FError = CheckSchemaVersion(FDb, FFileName);
    } catch (const std::exception& E) {
        Fail(E.what());
    }
    if (!FError.empty()) {
        Sqlite().close_v2(FDb);
        FDb = nullptr;
        return false;
    }
    return true;
}

template <class TResult, class TQuery> TResult THistoryReader::Query(TResult AEmpty, TQuery&& AQuery)
{
    if (!Open())
        return AEmpty;
    try {
        TResult Result = AQuery();
        FError.clear();
        return Result;
    } catch (const std::exception& E) {
        Fail(E.what());
        return AEmpty;
    }
}

std::vector<THistoryPoint> THistoryReader::Points(
    const std::string& AListPath, const std::string& AMonitor, int64_t ASinceMs)
{
    return Query(std::vector<THistoryPoint>(), [&] {
        std::vector<THistoryPoint> Result;
        TStatement Select(FDb,
            "SELECT o.start, o.ok, o.ms, o.reason FROM outcome o JOIN monitor m ON m.id = o.monitor "
            "WHERE m.list = ? AND m.name = ? AND o.start >= ? ORDER BY o.start");
        Select.Bind(1, AListPath).Bind(2, AMonitor).Bind(3, ASinceMs);
        while (Select.Step())
            Result.push_back({ Select.Int(0), Select.Int(1) != 0, Select.Int(2), Select.Text(3) });
        return Result;
    });
}

THistorySummary THistoryReader::Summary(
    const std::string& AListPath, const std::string& AMonitor, int64_t ASinceMs)
{
    return Query(THistorySummary { AMonitor }, [&] {
        THistorySummary Result { AMonitor };
        TStatement Select(FDb,
            "SELECT o.ok, o.ms FROM outcome o JOIN monitor m ON m.id = o.monitor "
            "WHERE m.list = ? AND m.name = ? AND o.start >= ?");
        Select.Bind(1, AListPath).Bind(2, AMonitor).Bind(3, ASinceMs);
        std::vector<int64_t> Times;
        while (Select.Step()) {
            ++Result.Checks;
            if (Select.Int(0) != 0)
                Times.push_back(Select.Int(1));
            else
                ++Result.Failures;
        }
        std::sort(Times.begin(), Times.end());
        Result.P50 = NearestRank(Times, 50);
        Result.P95 = NearestRank(Times, 95);
        return Result;
    });
}

THistorySummary THistoryReader::Counts(
    const std::string& AListPath, const std::string& AMonitor, int64_t ASinceMs)
{
    return Query(THistorySummary { AMonitor }, [&] {
        THistorySummary Result { AMonitor };
        TStatement Find(FDb, "SELECT id FROM monitor WHERE list = ? AND name = ?");
        Find.Bind(1, AListPath).Bind(2, AMonitor);
        if (!Find.Step())
            return Result;
        const int64_t Id = Find.Int(0);
        // The checks before the first whole day of the span one by one, the whole days from
        // their counts.
        const int64_t FirstDay = DayOf(ASinceMs - 1) + 1;
        TStatement Part(FDb,
            "SELECT count(*), total(ok = 0) FROM outcome WHERE monitor = ? AND start >= ? AND start < ?");
        Part.Bind(1, Id).Bind(2, ASinceMs).Bind(3, FirstDay * MsPerDay);
        if (Part.Step()) {
            Result.Checks += Part.Int(0);
            Result.Failures += Part.Int(1);
        }
        TStatement Days(
            FDb, "SELECT total(checks), total(failures) FROM daily WHERE monitor = ? AND day >= ?");
        Days.Bind(1, Id).Bind(2, FirstDay);
        if (Days.Step()) {
            Result.Checks += Days.Int(0);
            Result.Failures += Days.Int(1);
        }
        return Result;
    });
}

std::vector<THistorySummary> THistoryReader::Summaries(const std::string& AListPath, int64_t ASinceMs)
{
    const std::vector<std::string> Names = Query(std::vector<std::string>(), [&] {
        std::vector<std::string> Result;
        TStatement Select(FDb, "SELECT name FROM monitor WHERE list = ? ORDER BY name");
        Select.Bind(1, AListPath);
        while (Select.Step())
            Result.push_back(Select.Text(0));
        return Result;
    });
    if (!FError.empty())
        return {};
    std::vector<THistorySummary> Result;
    for (const std::string& Name : Names) {
        THistorySummary One = Summary(AListPath, Name, ASinceMs);
        if (!FError.empty())
            return {};
        if (One.Checks > 0)
            Result.push_back(std::move(One));
    }
    return Result;
}

std::vector<THistoryLatest> THistoryReader::Latest(const std::string& AListPath)
{
    return Query(std::vector<THistoryLatest>(), [&] {
        std::vector<THistoryLatest> Result;
        // Each a walk down one monitor's end of the (monitor, start) key, not a scan.
        TStatement Monitors(FDb, "SELECT id, name FROM monitor WHERE list = ? ORDER BY name");
        TStatement Last(FDb, "SELECT start, ok FROM outcome WHERE monitor = ? ORDER BY start DESC LIMIT 1");
        TStatement Success(
            FDb, "SELECT start, ms FROM outcome WHERE monitor = ? AND ok ORDER BY start DESC LIMIT 1");
        TStatement Down(FDb, "SELECT min(start) FROM outcome WHERE monitor = ? AND start > ?");
        Monitors.Bind(1, AListPath);
        while (Monitors.Step()) {
            const int64_t Id = Monitors.Int(0);
            Last.Reset();
            Last.Bind(1, Id);
            if (!Last.Step())
                continue;
            THistoryLatest One { Monitors.Text(1), Last.Int(1) != 0, Last.Int(0) };
            Success.Reset();
            Success.Bind(1, Id);
            int64_t SuccessStart = INT64_MIN;
            if (Success.Step()) {
                SuccessStart = Success.Int(0);
                One.LastSuccessEndMs = SuccessStart + Success.Int(1);
            }
            if (!One.OK) {
                Down.Reset();
                Down.Bind(1, Id).Bind(2, SuccessStart);
                if (Down.Step())
                    One.DownSinceMs = Down.Int(0);
            }
            Result.push_back(std::move(One));
        }
        return Result;
    });
}
