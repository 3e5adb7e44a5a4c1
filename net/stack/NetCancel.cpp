#include "net/stack/NetCancel.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace {

// Per thread: a probe and its waits run on one worker thread.
thread_local TNetCancelToken* GCancelToken = nullptr;

} // namespace

TNetCancelToken::TNetCancelToken()
{
    FFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FFd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

TNetCancelToken::~TNetCancelToken()
{
    ::close(FFd);
}

void TNetCancelToken::Cancel()
{
    FCancelled.store(true, std::memory_order_release);
    const uint64_t One = 1;
    // A full counter (never reached) would still leave the descriptor readable.
    (void)!::write(FFd, &One, sizeof One);
}

void TNetCancelToken::Reset()
{
    // Nothing to drain unless a cancel came: a worker resets its token before every check.
    if (!FCancelled.exchange(false, std::memory_order_acq_rel))
        return;
    uint64_t Count = 0;
    (void)!::read(FFd, &Count, sizeof Count);
}

TNetCancelToken* CurrentCancelToken()
{
    return GCancelToken;
}

void CheckCancelled()
{
    if (GCancelToken && GCancelToken->Cancelled())
        throw ENetCancelled(RSCancelled);
}

TNetCancelScope::TNetCancelScope(TNetCancelToken* AToken)
    : FPrevious(GCancelToken)
{
    GCancelToken = AToken;
}

TNetCancelScope::~TNetCancelScope()
{
    GCancelToken = FPrevious;
}

void CancellableSleep(int AMs)
{
    TNetCancelToken* Token = GCancelToken;
    if (!Token) {
        ::usleep(static_cast<useconds_t>(AMs) * 1000);
        return;
    }
    pollfd Wait { Token->Fd(), POLLIN, 0 };
    int Result;
    do
        Result = ::poll(&Wait, 1, AMs);
    while (Result < 0 && errno == EINTR);
    if (Result > 0)
        throw ENetCancelled(RSCancelled);
}
