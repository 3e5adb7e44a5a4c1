// Stopping a blocking exchange from another thread. A worker that runs a probe installs a
// token for its thread (TNetCancelScope); every wait of the networking layer on that thread
// (socket readiness, the connect thread, the TLS handshake) watches the token's descriptor
// beside its socket, so cancelling wakes the wait at once and it leaves with ENetCancelled.
// Closing the probe's sockets from the canceller instead would race with their use and
// reuse of the descriptor numbers; an eventfd that only the waits read has no such race.
#pragma once

#include "net/stack/NetException.h"

#include <atomic>

inline constexpr const char* RSCancelled = "Cancelled.";

VARDEX_NET_EXCEPTION(ENetCancelled, ENetException);

class TNetCancelToken {
public:
    // Raises std::system_error when no eventfd can be made.
    TNetCancelToken();
    ~TNetCancelToken();
    TNetCancelToken(const TNetCancelToken&) = delete;
    TNetCancelToken& operator=(const TNetCancelToken&) = delete;

    // Any thread: wakes every wait that watches this token, now and until Reset.
    void Cancel();
    // The owner, between two uses: clears a cancel.
    void Reset();
    // A look at a flag, no system call: cheap enough for every read of a transfer that never
    // has to wait.
    bool Cancelled() const { return FCancelled.load(std::memory_order_acquire); }
    // Readable while cancelled.
    int Fd() const { return FFd; }

private:
    int FFd = -1;
    // Set before the descriptor becomes readable and cleared when it is drained, so that it
    // says what a wait on the descriptor would (Cancel and Reset are not called at once).
    std::atomic<bool> FCancelled { false };
};

// The token the calling thread's waits watch; nullptr when there is none.
TNetCancelToken* CurrentCancelToken();

// Raises ENetCancelled when the calling thread's token is cancelled.
void CheckCancelled();

// Waits AMs milliseconds, or raises ENetCancelled as soon as the calling thread's token is
// cancelled: a pause between two attempts must not hold up an exit.
void CancellableSleep(int AMs);

// Installs AToken for the calling thread while it lives; the previous one comes back after.
class TNetCancelScope {
public:
    explicit TNetCancelScope(TNetCancelToken* AToken);
    ~TNetCancelScope();
    TNetCancelScope(const TNetCancelScope&) = delete;
    TNetCancelScope& operator=(const TNetCancelScope&) = delete;

private:
    TNetCancelToken* FPrevious;
};
