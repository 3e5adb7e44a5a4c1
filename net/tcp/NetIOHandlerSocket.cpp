#include "net/tcp/NetIOHandlerSocket.h"

#include "net/stack/NetCancel.h"
#include "net/stack/NetStackLinux.h"
#include "net/tcp/NetAntiFreezeBase.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Connect results that only say "not finished yet" on a non-blocking socket.
bool ConnectPending(int32_t ACode)
{
    return ACode == NetErrInProgress || ACode == NetErrWouldBlock || ACode == 10037;
}

[[noreturn]] void ThrowErrno()
{
    GSocketStack->ThrowSocketError(TNetStackLinux::ErrnoToSocketError(errno));
}

// How the wait of a non-blocking connect ended.
enum class TConnectEnd { ceEnded, ceStopped, ceTimedOut };

// Connects AHandle's socket without blocking and waits for the outcome: ceEnded with a
// connection (the connect's own error is raised), ceStopped when one of AStops (-1 for none)
// became readable first, ceTimedOut after ATimeoutMs (negative: no limit). The socket is
// handed back blocking, as the reads and writes on the connection expect.
TConnectEnd ConnectNonBlocking(TNetSocketHandle& AHandle, const int (&AStops)[2], int32_t ATimeoutMs)
{
    const int Fd = AHandle.Handle;
    const int Flags = ::fcntl(Fd, F_GETFL);
    if (Flags == -1 || ::fcntl(Fd, F_SETFL, Flags | O_NONBLOCK) == -1)
        ThrowErrno();
    struct TRestoreFlags {
        int Fd;
        int Flags;
        ~TRestoreFlags() { ::fcntl(Fd, F_SETFL, Flags); }
    } Restore { Fd, Flags };
    const auto Deadline
        = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ATimeoutMs, 0));
    // The connect is asked again after every wake-up: on a socket whose connect has ended it
    // returns 0 for a connection or the connect's own error, so the outcome and its text are
    // the stack's, and a wake-up that came too early only says "in progress" once more.
    for (;;) {
        const int32_t Result = AHandle.Connect();
        if (Result != -1)
            return TConnectEnd::ceEnded;
        if (!ConnectPending(GSocketStack->LastSocketError())) {
            // The socket is never closed under this wait, so no code is ignored here: every
            // error is the connect's own.
            GSocketStack->CheckSocketResult(Result);
            return TConnectEnd::ceEnded;
        }
        int Wait = -1;
        if (ATimeoutMs >= 0) {
            const auto Left
                = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
            if (Left.count() <= 0)
                return TConnectEnd::ceTimedOut;
            Wait = static_cast<int>(Left.count());
        }
        // A negative descriptor is skipped.
        pollfd Fds[3] = { { Fd, POLLOUT, 0 }, { AStops[0], POLLIN, 0 }, { AStops[1], POLLIN, 0 } };
        const int Ready = ::poll(Fds, 3, Wait);
        if (Ready < 0 && errno != EINTR)
            ThrowErrno();
        if (Ready > 0 && (Fds[1].revents != 0 || Fds[2].revents != 0))
            return TConnectEnd::ceStopped;
    }
}

} // namespace

TNetSocksInfo::TNetSocksInfo(TComponent* AOwner)
    : TNetComponent(AOwner)
{
}

void TNetSocksInfo::MakeSocksConnection(TNetIOHandler& AHandler, const std::string& AHost, int32_t APort)
{
    (void)AHandler;
    (void)AHost;
    (void)APort;
    if (Version != TSocksVersion::svNoSocks)
        throw ENetSocksError(RSSocksVersionNotSupported);
}

TNetConnectThread::TNetConnectThread(TNetSocketHandle* ASocketHandle)
    : SocketHandle(ASocketHandle)
{
    FCancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FCancelFd < 0)
        ThrowErrno();
    // The token outlives this thread: its owner joins the probe, which joins this thread.
    if (const TNetCancelToken* Token = CurrentCancelToken())
        FProbeCancelFd = Token->Fd();
}

TNetConnectThread::~TNetConnectThread()
{
    Cancel();
    Join();
    ::close(FCancelFd);
}

void TNetConnectThread::Start()
{
    FThread = std::thread([this] { Execute(); });
}

bool TNetConnectThread::WaitFor(int32_t AMilliseconds)
{
    std::unique_lock<std::mutex> Guard(FLock);
    if (AMilliseconds < 0) {
        FEnded.wait(Guard, [this] { return FTerminated; });
        return true;
    }
    return FEnded.wait_for(Guard, std::chrono::milliseconds(AMilliseconds), [this] { return FTerminated; });
}

void TNetConnectThread::Cancel()
{
    const uint64_t One = 1;
    // A full counter (never reached here) would still leave the descriptor readable.
    (void)!::write(FCancelFd, &One, sizeof One);
}

void TNetConnectThread::Join()
{
    if (FThread.joinable())
        FThread.join();
}

bool TNetConnectThread::Terminated()
{
    std::lock_guard<std::mutex> Guard(FLock);
    return FTerminated;
}

void TNetConnectThread::Execute()
{
    bool Failed = false;
    std::string Error;
    try {
        // The probe's cancel token, when the thread that started the connect has one, ends the
        // wait as the connect's own cancel does.
        ConnectNonBlocking(*SocketHandle, { FCancelFd, FProbeCancelFd }, -1);
    } catch (const std::exception& E) {
        Failed = true;
        Error = E.what();
    }
    std::lock_guard<std::mutex> Guard(FLock);
    FFailed = Failed;
    ConnectError = std::move(Error);
    FTerminated = true;
    FEnded.notify_all();
}

TNetIOHandlerSocket::TNetIOHandlerSocket(TComponent* AOwner)
    : TNetIOHandler(AOwner)
{
}

TNetIOHandlerSocket::~TNetIOHandlerSocket()
{
    TNetIOHandlerSocket::CloseLink();
    if (FSocksInfo && !FSocksInfo->Owner())
        delete FSocksInfo;
    FSocksInfo = nullptr;
    FSocketHandle.reset();
}

void TNetIOHandlerSocket::PrepareLink()
{
    if (FSocketHandle)
        FSocketHandle->ResetState(true);
    else
        FSocketHandle = std::make_unique<TNetSocketHandle>();
}

void TNetIOHandlerSocket::CloseLink()
{
    if (FSocketHandle)
        FSocketHandle->ShutAndClose(true);
}

bool TNetIOHandlerSocket::LinkOpen()
{
    return FSocketHandle && FSocketHandle->HasSocket;
}

bool TNetIOHandlerSocket::CanRead(int32_t ATimeout)
{
    if (!FSocketHandle)
        throw ENetConnClosedGracefully(RSConnectionClosedGracefully);
    return FSocketHandle->WaitReadable(ATimeout);
}

int32_t TNetIOHandlerSocket::ReadSome(void* ABuffer, int32_t ALength)
{
    if (!LinkOpen())
        throw ENetClosedSocket(RSClosedSocket);
    return FSocketHandle->Receive(ABuffer, ALength, 0);
}

int32_t TNetIOHandlerSocket::TryReadSome(void* ABuffer, int32_t ALength)
{
    // The socket itself, not LinkOpen: a descendant may carry its link some other way.
    if (!FSocketHandle || !FSocketHandle->HasSocket)
        return NetNothingToRead;
    const int32_t Result = FSocketHandle->Receive(ABuffer, ALength, MSG_DONTWAIT);
    if (Result == -1 && GSocketStack->LastSocketError() == NetErrWouldBlock)
        return NetNothingToRead;
    return Result;
}

int32_t TNetIOHandlerSocket::WriteSome(const void* ABuffer, int32_t ALength)
{
    if (!LinkOpen())
        throw ENetClosedSocket(RSClosedSocket);
    return FSocketHandle->Send(ABuffer, ALength, 0);
}

int32_t TNetIOHandlerSocket::TryWriteSome(const void* ABuffer, int32_t ALength)
{
    if (!FSocketHandle || !FSocketHandle->HasSocket)
        return NetNoRoomToWrite;
    const int32_t Result = FSocketHandle->Send(ABuffer, ALength, MSG_DONTWAIT);
    if (Result == -1 && GSocketStack->LastSocketError() == NetErrWouldBlock)
        return NetNoRoomToWrite;
    return Result;
}

bool TNetIOHandlerSocket::CanWrite(int32_t ATimeout)
{
    // Without a socket there is nothing to wait for; the write says what is wrong.
    if (!FSocketHandle || !LinkOpen())
        return true;
    const int Fd = FSocketHandle->Handle;
    const TNetCancelToken* Cancel = CurrentCancelToken();
    pollfd Wait[2] = { { Fd, POLLOUT, 0 }, { Cancel ? Cancel->Fd() : -1, POLLIN, 0 } };
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
    int Ready;
    for (;;) {
        int Left = -1;
        if (ATimeout >= 0)
            Left = static_cast<int>(std::max<int64_t>(0,
                std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now())
                    .count()));
        Ready = ::poll(Wait, 2, Left);
        if (Ready >= 0 || errno != EINTR)
            break;
    }
    if (Ready > 0 && Wait[1].revents != 0)
        throw ENetCancelled(RSCancelled);
    if (Ready == 0)
        return false;
    // Room for one byte is not room for all of them, and a blocking send waits for all: it is
    // cut off where this wait would have ended, and at least every second, so that a cancel
    // is seen before the next wait.
    const int32_t Slice = ATimeout < 0 ? 1000 : std::clamp<int32_t>(ATimeout, 1, 1000);
    const timeval Limit { Slice / 1000, (Slice % 1000) * 1000 };
    (void)::setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof Limit);
    return true;
}

namespace {

// One time limit for the lookup and every address tried: what the lookup takes is gone from
// the connect.
class TConnectBudget {
public:
    explicit TConnectBudget(int32_t ATimeout)
        : Threaded((ATimeout != -1 && ATimeout != 0) || TNetAntiFreezeBase::IsInForce())
        , FLimit((ATimeout != -1 && ATimeout != 0) ? ATimeout : (Threaded ? 120000 : -1))
        , FDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(FLimit < 0 ? 0 : FLimit))
    {
    }

    // Milliseconds left (at least 1); -1 without a limit.
    int32_t Left() const
    {
        if (FLimit < 0)
            return -1;
        const auto Rest
            = std::chrono::ceil<std::chrono::milliseconds>(FDeadline - std::chrono::steady_clock::now());
        return static_cast<int32_t>(std::max<int64_t>(1, Rest.count()));
    }

    // The time of one of ACount addresses still to try: its even share of what is left; -2
    // without a limit, as ConnectWithTimeout takes it.
    int32_t ShareOf(size_t ACount) const
    {
        const int32_t Rest = Left();
        return Rest < 0 ? -2 : std::max<int32_t>(1, Rest / static_cast<int32_t>(ACount));
    }

    // The connect is a timed one (ConnectWithTimeout), not a blocking connect.
    const bool Threaded;

private:
    const int32_t FLimit;
    const std::chrono::steady_clock::time_point FDeadline;
};

// The failures of a name's addresses, in the order tried. What is raised in the end is the
// last failure's kind and text, followed by every address with the last line of its failure.
class TAddressesTried {
public:
    enum class TFailure { fTimeout, fConnect, fSocket };

    void Add(const std::string& AIP, TFailure AFailure, const char* AText, int32_t ACode = 0)
    {
        FLast = AFailure;
        FLastCode = ACode;
        FLastText = AText;
        const size_t Break = FLastText.rfind("\r\n");
        FTried += (FTried.empty() ? "" : ", ") + AIP + " ("
            + (Break == std::string::npos ? FLastText : FLastText.substr(Break + 2)) + ")";
    }

    [[noreturn]] void Raise() const
    {
        const std::string Text = FLastText + "\r\nAddresses tried: " + FTried;
        switch (FLast) {
        case TFailure::fTimeout:
            throw ENetConnectTimeout(Text);
        case TFailure::fSocket:
            throw ENetSocketError(FLastCode, Text);
        case TFailure::fConnect:
            break;
        }
        throw ENetConnectException(Text);
    }

private:
    TFailure FLast = TFailure::fConnect;
    int32_t FLastCode = 0;
    std::string FLastText;
    std::string FTried;
};

} // namespace

void TNetIOHandlerSocket::ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
    int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout)
{
    TNetSocksInfo* Socks = SocksInfo();
    const bool ViaSocks = Socks->Version != TSocksVersion::svNoSocks;
    const std::string& TargetHost = ViaSocks ? Socks->Host : AHost;
    const int32_t TargetPort = ViaSocks ? Socks->Port : APort;
    if (!FSocketHandle)
        PrepareLink();

    const TConnectBudget Budget(ATimeout);
    const std::vector<TNetHostAddress> Addresses = ResolveTarget(TargetHost, ABoundIP, Budget.Left());

    // Address after address, in the resolver's order, until one takes the connection. One
    // that refuses or cannot be reached fails at once and the next is tried straight away;
    // one that stays silent is given its share of the time that is left, so a dead first
    // address cannot use up the time of the live ones behind it. Only a name with several
    // addresses says which failed how; a single address keeps the connect's own failure.
    using TFailure = TAddressesTried::TFailure;
    TAddressesTried Tried;
    const size_t Count = Addresses.size();
    for (size_t I = 0; I < Count; ++I) {
        // A probe cancelled between two addresses tries no more of them.
        CheckCancelled();
        const TNetHostAddress& Address = Addresses[I];
        OpenSocketFor(Address, TargetPort, ABoundIP, ABoundPort, ABoundPortMin, ABoundPortMax);
        try {
            if (Budget.Threaded)
                ConnectWithTimeout(Budget.ShareOf(Count - I));
            else
                GSocketStack->CheckSocketResult(FSocketHandle->Connect());
            Socks->MakeSocksConnection(*this, AHost, APort);
            return;
        } catch (const ENetConnectTimeout& E) {
            if (Count == 1)
                throw;
            Tried.Add(Address.IP, TFailure::fTimeout, E.what());
        } catch (const ENetConnectException& E) {
            if (Count == 1)
                throw;
            Tried.Add(Address.IP, TFailure::fConnect, E.what());
        } catch (const ENetSocketError& E) {
            if (Count == 1)
                throw;
            Tried.Add(Address.IP, TFailure::fSocket, E.what(), E.ErrorCode);
        }
    }
    Tried.Raise();
}

std::vector<TNetHostAddress> TNetIOHandlerSocket::ResolveTarget(
    const std::string& AHost, const std::string& ABoundIP, int32_t ATimeout)
{
    if (!TNetStack::IsDottedQuad(AHost) && !TNetStack::IsIPv6Address(AHost))
        ReportStatus(TNetStatus::hsResolving, { AHost });
    std::vector<TNetHostAddress> Addresses = GSocketStack->LookupHostAddresses(AHost, ATimeout);
    // A local address to bind to fixes the family: the other family's addresses cannot be
    // reached from it.
    if (!ABoundIP.empty()) {
        const int32_t Bound = TNetStack::AddressFamily(ABoundIP);
        std::vector<TNetHostAddress> Same;
        for (const TNetHostAddress& A : Addresses)
            if (A.Family == Bound)
                Same.push_back(A);
        if (!Same.empty())
            Addresses = std::move(Same);
    }
    return Addresses;
}

void TNetIOHandlerSocket::OpenSocketFor(const TNetHostAddress& AAddress, int32_t APort,
    const std::string& ABoundIP, int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax)
{
    TNetSocketHandle& H = *FSocketHandle;
    H.AllocateHandle(1, 0, AAddress.Family);
    H.IP = ABoundIP;
    H.Port = ABoundPort;
    H.ClientPortMin = ABoundPortMin;
    H.ClientPortMax = ABoundPortMax;
    // A socket to be bound to any address and port gets both at the connect anyway; binding
    // it first would cost two calls a connection and take its port from every destination
    // (a port taken by bind is not shared the way the connect's own choice is).
    const bool AnyAddress = ABoundIP.empty() || ABoundIP == "0.0.0.0" || ABoundIP == "::";
    if (!AnyAddress || ABoundPort != 0 || (ABoundPortMin != 0 && ABoundPortMax != 0))
        H.Bind();
    H.SetPeerAddress(AAddress.IP, APort);
    if (!UseNagle) {
        const int32_t On = 1;
        H.SetOption(IPPROTO_TCP, TCP_NODELAY, &On, static_cast<int32_t>(sizeof On));
    }
    ReportStatus(TNetStatus::hsConnecting, { H.PeerIP });
}

void TNetIOHandlerSocket::ConnectWithTimeout(int32_t ATimeout)
{
    const bool Infinite = ATimeout < 0;
    if (!TNetAntiFreezeBase::IsInForce()) {
        // With no anti-freeze to run between the waits, the connect is waited for on this
        // thread: the same connect, outcomes and texts as on a connect thread, without starting
        // a thread for every connection.
        const TNetCancelToken* Token = CurrentCancelToken();
        TConnectEnd End;
        try {
            End = ConnectNonBlocking(
                *FSocketHandle, { Token ? Token->Fd() : -1, -1 }, Infinite ? -1 : ATimeout);
        } catch (const std::exception& E) {
            throw ENetConnectException(E.what());
        }
        if (End == TConnectEnd::ceEnded)
            return;
        CloseLink();
        if (End == TConnectEnd::ceStopped)
            throw ENetCancelled(RSCancelled);
        throw ENetConnectTimeout(RSConnectTimeout);
    }
    TNetConnectThread Thread(FSocketHandle.get());
    Thread.Start();

    // The main thread with an anti-freeze waits in short steps and lets it pump between them;
    // the wait still ends the moment the connect does.
    bool Ended = false;
    const int32_t Step
        = std::max<int32_t>(1, std::min<int32_t>(TNetAntiFreezeBase::CurrentAntiFreeze()->IdleTimeOut, 125));
    const auto Deadline
        = std::chrono::steady_clock::now() + std::chrono::milliseconds(Infinite ? 0 : ATimeout);
    for (;;) {
        int32_t Wait = Step;
        if (!Infinite) {
            const auto Left
                = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
            if (Left.count() <= 0) {
                Ended = Thread.WaitFor(0);
                break;
            }
            Wait = static_cast<int32_t>(std::min<int64_t>(Step, Left.count()));
        }
        if (Thread.WaitFor(Wait)) {
            Ended = true;
            break;
        }
        TNetAntiFreezeBase::YieldToApplication(true, false);
    }

    if (!Ended) {
        Thread.Cancel();
        Thread.Join();
        CloseLink();
        throw ENetConnectTimeout(RSConnectTimeout);
    }
    Thread.Join();
    if (CurrentCancelToken() && CurrentCancelToken()->Cancelled()) {
        CloseLink();
        throw ENetCancelled(RSCancelled);
    }
    if (Thread.Failed())
        throw ENetConnectException(Thread.ConnectError);
}

TNetSocksInfo* TNetIOHandlerSocket::SocksInfo()
{
    if (!FSocksInfo)
        FSocksInfo = new TNetSocksInfo();
    return FSocksInfo;
}

void TNetIOHandlerSocket::SetSocksInfo(TNetSocksInfo* AValue)
{
    if (AValue == FSocksInfo)
        return;
    if (FSocksInfo) {
        if (FSocksInfo->Owner())
            FSocksInfo->RemoveFreeNotification(this);
        else
            delete FSocksInfo;
    }
    FSocksInfo = AValue;
    if (FSocksInfo && FSocksInfo->Owner())
        FSocksInfo->FreeNotification(this);
}

void TNetIOHandlerSocket::Notification(TComponent* AComponent, TOperation AOperation)
{
    TNetIOHandler::Notification(AComponent, AOperation);
    if (AOperation == TOperation::opRemove && AComponent == FSocksInfo)
        FSocksInfo = nullptr;
}
