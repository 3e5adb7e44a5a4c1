// The check history: every check's outcome in an SQLite file of the user's, for the chart,
// the uptime figures and vardex-check --report. No GUI here; the window and vardex-check
// share the file and this code.
//
// SQLite through Debian's libsqlite3 itself rather than Qt SQL: vardex-check is built and
// used without Qt, the writer needs its own connection on its own thread with WAL, a busy
// time-out and exact error codes (a locked, read-only or damaged file must switch the
// recorder off with a reason, never raise), and none of that needs a driver plugin found at
// run time.
//
// Times are Unix milliseconds (UTC), not local date-times: local time repeats an hour once a
// year, and the history must not.
//
// Threads and the rules that keep them safe:
// - THistoryRecorder has one writer thread of its own, started by Start and ended by Stop (and
//   the destructor): Stop asks it to end, it writes what is queued, and Stop joins it. The
//   writer alone opens and writes the database, so a file that is locked or slow to open
//   blocks only the writer, never the thread that records.
// - FLock guards the queue, the sequence counters and the flags; the writer takes a whole
//   batch under it and writes without it. Record never waits for the writer: a full queue
//   drops the outcome and counts it.
// - A lock of another program is waited for in the writer only, up to the busy time-out, and
//   not at all once Stop was called: what cannot be written then is lost, the exit is not held.
//   Nor does Stop wait for a prune in progress (it is rolled back) or for a sync of the file:
//   the last batch is committed to the WAL, which the next writer takes up.
// - The first failure switches the recorder off for good: OnDisabled is called once, on the
//   writer thread, with the reason; Record and Rename do nothing from then on.
// - The writer looks at the file before each batch and at least once a watch interval: when
//   the path no longer names the file it has open (removed, or replaced by another), it closes
//   that and opens the path again, making it anew, and OnNotice says so on the writer thread.
//   Nothing is written on into a file that is gone.
// - THistoryReader is a connection of its own for one thread's queries; WAL lets it read
//   while the writer writes.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

// The file of the history: $XDG_STATE_HOME/vardex/history.sqlite, or
// ~/.local/state/vardex/history.sqlite when XDG_STATE_HOME is unset, empty or not absolute
// (the base directory rule). Empty when neither it nor HOME can be found.
std::string DefaultHistoryFile();

// The name of a monitor list in the history: its absolute path with symbolic links resolved
// as far as they exist, so that the window and vardex-check, started from anywhere, name one
// list alike. AFileName as it is when even that fails.
std::string HistoryListKey(const std::string& AFileName);

// Whether and how the history is kept, from the environment: VARDEX_HISTORY=off (or 0, no,
// false) turns it off; VARDEX_HISTORY_DAYS=N keeps N days (1 to 3650) instead of 30.
struct THistorySettings {
    bool Enabled = true;
    int RetentionDays = 30;
    std::string FileName; // DefaultHistoryFile()
    // What was wrong with the environment's values (the defaults apply); empty when nothing.
    std::string Problem;
};
THistorySettings HistorySettingsFromEnvironment();

// The version of the history's tables, kept in the file's user_version. A file of a newer
// version is neither written nor read.
constexpr int HistorySchemaVersion = 1;

// Unix milliseconds now, from the system's wall clock.
int64_t HistoryNowMs();

// One finished check.
struct THistoryOutcome {
    // The monitor list's absolute path and the monitor's name: together they name the monitor
    // in the history, so that one monitor of two lists never mixes with another.
    std::string ListPath;
    std::string Monitor;
    int64_t StartMs = 0; // when the check started, Unix milliseconds
    bool OK = false;
    int64_t ResponseMs = 0; // how long the check took
    std::string Reason; // why it failed; empty after a success
};

// One check as read back.
struct THistoryPoint {
    int64_t StartMs = 0;
    bool OK = false;
    int64_t ResponseMs = 0;
    std::string Reason;

    bool operator==(const THistoryPoint&) const = default;
};

// What a stretch of history says about one monitor.
struct THistorySummary {
    std::string Monitor;
    int64_t Checks = 0;
    int64_t Failures = 0;
    // Response times of the successful checks, nearest-rank percentiles; -1 with none. Failed
    // checks are left out: their time is how long the failure took to show (a time-out), not
    // how fast the service answered.
    int64_t P50 = -1;
    int64_t P95 = -1;

    // The share of successful checks in percent; -1 with no checks.
    double Uptime() const
    {
        return Checks > 0 ? 100.0 * static_cast<double>(Checks - Failures) / static_cast<double>(Checks) : -1;
    }
};

// The nearest-rank percentile APercent (0 < APercent <= 100) of ASorted, which is in rising
// order; -1 when it is empty.
int64_t NearestRank(const std::vector<int64_t>& ASorted, int APercent);

// Where one monitor stood when its last check was recorded.
struct THistoryLatest {
    std::string Monitor;
    bool OK = false; // how its last check ended
    int64_t LastStartMs = 0; // when its last check started
    // When its last successful check ended (start and response time); -1 with none kept.
    int64_t LastSuccessEndMs = -1;
    // After a failure: the start of the first failed check since the last success (of all
    // kept, when none succeeded); -1 after a success.
    int64_t DownSinceMs = -1;

    bool operator==(const THistoryLatest&) const = default;
};

// A file as the system knows it: its device and inode.
using THistoryFileId = std::pair<uint64_t, uint64_t>;

// Records outcomes into the history file from any one thread, writing on a thread of its own.
class THistoryRecorder {
public:
    using TClock = std::function<int64_t()>;
    using TDisabledEvent = std::function<void(const std::string& AReason)>;

    static constexpr int DefaultRetentionDays = 30;
    static constexpr size_t DefaultQueueLimit = 100000;
    // The longest reason kept, in bytes; a longer one is cut.
    static constexpr size_t MaxReasonBytes = 1024;

    // AFileName is the database file; its folder is made when missing (mode 0700). AClock
    // gives Unix milliseconds for the retention; the wall clock when empty.
    explicit THistoryRecorder(std::string AFileName, TClock AClock = {});
    // Stop.
    ~THistoryRecorder();
    THistoryRecorder(const THistoryRecorder&) = delete;
    THistoryRecorder& operator=(const THistoryRecorder&) = delete;

    // Settings, before Start.
    // Rows older than this many days are deleted at the start and about once an hour after:
    // older than the newest row, when the clock is ahead of it, and older than the last this
    // many days on which anything was recorded.
    void SetRetentionDays(int ADays) { FRetentionDays = ADays > 0 ? ADays : 1; }
    // The most outcomes waiting to be written; past it Record drops them.
    void SetQueueLimit(size_t ALimit) { FQueueLimit = ALimit > 0 ? ALimit : 1; }
    // How long the writer waits to gather a batch after the first outcome of it.
    void SetBatchDelay(std::chrono::milliseconds ADelay) { FBatchDelay = ADelay; }
    // How long the writer waits for another process's lock before it gives up.
    void SetBusyTimeout(std::chrono::milliseconds ATimeout) { FBusyTimeout = ATimeout; }
    // How often an idle writer looks whether its file is still there.
    void SetWatchInterval(std::chrono::milliseconds AInterval) { FWatchInterval = AInterval; }
    // Called once, on the writer thread, when the recorder switches itself off.
    TDisabledEvent OnDisabled;
    // Called on the writer thread when the history goes on in a new file, with what happened.
    std::function<void(const std::string& ANotice)> OnNotice;

    // Starts the writer, which opens (or makes) the file. Once only.
    void Start();
    // Writes what is queued (without waiting for another program's lock), ends the writer and
    // joins it. Safe to call more than once.
    void Stop();

    // Queues AOutcome. False when it was dropped: the recorder is off, not started, or the
    // queue is full.
    bool Record(THistoryOutcome AOutcome);
    // Carries the history of AOldName in AListPath over to ANewName, after everything queued
    // before it. When ANewName has a history already the two are merged (two monitors of one
    // name share one history).
    void Rename(const std::string& AListPath, const std::string& AOldName, const std::string& ANewName);
    // Deletes the rows past the retention now (after what is queued), besides the hourly run.
    void Prune();
    // Waits until everything queued before the call is written, or the recorder is off, at
    // most ATimeout. True when it was written.
    bool Flush(std::chrono::milliseconds ATimeout);

    bool Enabled() const { return !FDisabled.load(); }
    // Why the recorder is off; empty while it runs.
    std::string DisabledReason() const;
    // Outcomes dropped because the queue was full.
    uint64_t Dropped() const { return FDropped.load(); }
    const std::string& FileName() const { return FFileName; }

private:
    struct TRename {
        std::string ListPath;
        std::string OldName;
        std::string NewName;
    };
    struct TPrune { };
    using TCommand = std::variant<THistoryOutcome, TRename, TPrune>;

    void Run();
    bool Open();
    // Opens the file again when the path no longer names the one open (see above).
    void FollowFile();
    void Close();
    // SQLite's busy handler: waits for another program's lock, unless Stop was called.
    static int Busy(void* ASelf, int ACount);
    void WriteBatch(std::deque<TCommand>& ABatch);
    // The start before which rows go; none when nothing is old enough.
    std::optional<int64_t> PruneCutoff(int64_t ANow, const std::vector<int64_t>& AIds) const;
    void PruneNow();
    void PruneRows();
    // SQLite's progress handler during a prune: ends it once Stop was called.
    static int Interrupt(void* ASelf);
    void Disable(const std::string& AReason);
    void Enqueue(TCommand ACommand);

    const std::string FFileName;
    const TClock FClock;
    int FRetentionDays = DefaultRetentionDays;
    size_t FQueueLimit = DefaultQueueLimit;
    std::chrono::milliseconds FBatchDelay { 1000 };
    std::chrono::milliseconds FBusyTimeout { 5000 };
    std::chrono::milliseconds FWatchInterval { 60000 };

    // Writer thread only.
    sqlite3* FDb = nullptr;
    std::optional<THistoryFileId> FFileId; // of the file open
    int64_t FLastPruneMs = 0;
    std::map<std::pair<std::string, std::string>, int64_t> FIds; // (list, name) to monitor row

    mutable std::mutex FLock;
    std::condition_variable FWake; // work queued, or stop asked
    std::condition_variable FWritten; // FWrittenSeq moved, or the recorder switched off
    std::deque<TCommand> FQueue;
    size_t FQueuedOutcomes = 0;
    uint64_t FQueuedSeq = 0;
    uint64_t FWrittenSeq = 0;
    bool FStarted = false;
    bool FReady = false; // the writer has opened the file, or failed to
    bool FStopping = false;
    bool FFlushing = false;
    std::string FReason;
    std::thread FWriter;

    // Read without FLock by Record and Enabled; set once, under FLock.
    std::atomic<bool> FDisabled { false };
    std::atomic<uint64_t> FDropped { 0 };
    // Set by Stop; read by the busy handler on the writer thread, which holds no lock then.
    std::atomic<bool> FCancelled { false };
};

// Queries on the history file, for one thread. Every query returns nothing rather than raise
// when the file cannot be read (missing, locked past a short wait, damaged); Error says why.
class THistoryReader {
public:
    explicit THistoryReader(std::string AFileName);
    ~THistoryReader();
    THistoryReader(const THistoryReader&) = delete;
    THistoryReader& operator=(const THistoryReader&) = delete;

    // The checks of one monitor that started at ASinceMs or later, oldest first.
    std::vector<THistoryPoint> Points(
        const std::string& AListPath, const std::string& AMonitor, int64_t ASinceMs);
    // Checks, failures and percentiles of one monitor since ASinceMs.
    THistorySummary Summary(const std::string& AListPath, const std::string& AMonitor, int64_t ASinceMs);
    // Checks and failures only, without the percentiles: a count, cheap enough for a window.
    THistorySummary Counts(const std::string& AListPath, const std::string& AMonitor, int64_t ASinceMs);
    // The same for every monitor of AListPath with checks since ASinceMs, by name.
    std::vector<THistorySummary> Summaries(const std::string& AListPath, int64_t ASinceMs);

    // Where every monitor of AListPath stood at its last recorded check, by name.
    std::vector<THistoryLatest> Latest(const std::string& AListPath);

    // The last failure's text; empty after a query that worked.
    const std::string& Error() const { return FError; }

private:
    bool Open();
    void Fail(const std::string& AWhat);
    // Runs AQuery on the open file: its result, with the last error cleared; AEmpty, with the
    // error kept, when the file cannot be opened or the query fails.
    template <class TResult, class TQuery> TResult Query(TResult AEmpty, TQuery&& AQuery);

    const std::string FFileName;
    sqlite3* FDb = nullptr;
    std::optional<THistoryFileId> FFileId; // of the file open
    std::string FError;
};
