#include "engine/VerdictQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

TVerdictQueue::TVerdictQueue()
{
    FFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FFd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

TVerdictQueue::~TVerdictQueue()
{
    ::close(FFd);
}

void TVerdictQueue::Post(TCheckVerdict AVerdict)
{
    bool First;
    {
        std::lock_guard<std::mutex> Guard(FLock);
        FVerdicts.push_back(std::move(AVerdict));
        First = FVerdicts.size() == 1;
    }
    // Verdicts behind the first are announced by its count: Drain reads the count before it
    // takes the queue, so it takes them too, or the first of a new round is announced anew.
    if (First) {
        const uint64_t One = 1;
        (void)!::write(FFd, &One, sizeof One);
    }
}

std::vector<TCheckVerdict> TVerdictQueue::Drain()
{
    // The count first: a verdict posted after it is read raises it again and is either in
    // this drain or announced for the next.
    uint64_t Count = 0;
    (void)!::read(FFd, &Count, sizeof Count);
    std::lock_guard<std::mutex> Guard(FLock);
    std::vector<TCheckVerdict> Result(
        std::make_move_iterator(FVerdicts.begin()), std::make_move_iterator(FVerdicts.end()));
    FVerdicts.clear();
    return Result;
}

bool TVerdictQueue::Wait(std::optional<std::chrono::milliseconds> ATimeout) const
{
    pollfd Ready { FFd, POLLIN, 0 };
    const int TimeoutMs
        = ATimeout ? static_cast<int>(std::clamp<int64_t>(ATimeout->count(), 0, INT32_MAX)) : -1;
    int Result;
    do
        Result = ::poll(&Ready, 1, TimeoutMs);
    while (Result < 0 && errno == EINTR);
    return Result > 0;
}
