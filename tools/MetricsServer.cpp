#include "tools/MetricsServer.h"

#include "tools/RequestHead.h"
#include "tools/StatusPage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

bool PortText(const std::string& AText, int& APort)
{
    if (AText.empty() || AText.size() > 5 || AText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    APort = std::stoi(AText);
    return APort <= 65535;
}

std::string Answer(const char* AStatus, const std::string& AType, const std::string& ABody, bool AHead,
    bool AClose, const char* AExtra = "")
{
    std::string Text = std::string("HTTP/1.1 ") + AStatus + "\r\nContent-Type: " + AType
        + "\r\nContent-Length: " + std::to_string(ABody.size()) + "\r\nCache-Control: no-store\r\n" + AExtra
        + (AClose ? "Connection: close\r\n" : "") + "\r\n";
    if (!AHead)
        Text += ABody;
    return Text;
}

} // namespace

std::string ParseListenAddress(const std::string& AText, TListenAddress& AAddress)
{
    TListenAddress Address;
    std::string PortPart = AText;
    const size_t Colon = AText.rfind(':');
    if (Colon != std::string::npos) {
        std::string Host = AText.substr(0, Colon);
        PortPart = AText.substr(Colon + 1);
        if (Host.size() >= 2 && Host.front() == '[' && Host.back() == ']')
            Host = Host.substr(1, Host.size() - 2);
        else if (Host.find(':') != std::string::npos)
            return "--serve needs HOST:PORT with an IPv6 address in brackets, not '" + AText + "'";
        if (!Host.empty())
            Address.Host = Host;
    }
    if (!PortText(PortPart, Address.Port))
        return "--serve needs [HOST:]PORT with a port from 0 to 65535, not '" + AText + "'";
    AAddress = Address;
    return {};
}

struct TMetricsServer::TConnection {
    int Fd = -1;
    std::string In;
    std::string Out;
    size_t Sent = 0;
    bool Close = false;
    size_t Served = 0;
    // Since when it waits for its next request; what the cap closes first.
    TClock::time_point Waiting;
    TClock::time_point Deadline;
};

TMetricsServer::TMetricsServer(TServerLimits ALimits)
    : FLimits(ALimits)
    , FSnapshot(std::make_shared<TMetricsSnapshot>())
{
    // Under a low open-file limit the server takes at most an eighth of it: the checks need a
    // descriptor or two each, and a monitor must not fail because someone holds connections.
    rlimit Files {};
    if (::getrlimit(RLIMIT_NOFILE, &Files) == 0 && Files.rlim_cur != RLIM_INFINITY)
        FLimits.MaxConnections
            = std::max<size_t>(1, std::min<size_t>(FLimits.MaxConnections, size_t(Files.rlim_cur / 8)));
}

TMetricsServer::~TMetricsServer()
{
    Stop();
}

std::string TMetricsServer::Start(const TListenAddress& AAddress)
{
    const std::string Where = "cannot listen on "
        + (AAddress.Host.find(':') != std::string::npos ? "[" + AAddress.Host + "]" : AAddress.Host) + ":"
        + std::to_string(AAddress.Port);
    addrinfo Hints {};
    Hints.ai_family = AF_UNSPEC;
    Hints.ai_socktype = SOCK_STREAM;
    Hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* Found = nullptr;
    const int Lookup
        = ::getaddrinfo(AAddress.Host.c_str(), std::to_string(AAddress.Port).c_str(), &Hints, &Found);
    if (Lookup != 0)
        return Where + ": " + ::gai_strerror(Lookup);
    int Error = 0;
    for (addrinfo* Address = Found; Address != nullptr && FListenFd < 0; Address = Address->ai_next) {
        const int Fd = ::socket(Address->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (Fd < 0) {
            Error = errno;
            continue;
        }
        // SO_REUSEADDR lets a restart take the port while old connections linger in TIME_WAIT;
        // it never lets two listeners share it. SO_REUSEPORT, which would, is left off: two
        // servers on one port would answer scrapes in turn with different views.
        const int Yes = 1;
        (void)::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof Yes);
        if (::bind(Fd, Address->ai_addr, Address->ai_addrlen) == 0 && ::listen(Fd, 64) == 0) {
            FListenFd = Fd;
            break;
        }
        Error = errno;
        ::close(Fd);
    }
    ::freeaddrinfo(Found);
    if (FListenFd < 0) {
        if (Error == EADDRINUSE)
            return Where + ": the port is in use by another program";
        return Where + ": " + std::strerror(Error);
    }
    sockaddr_storage Bound {};
    socklen_t Length = sizeof Bound;
    (void)::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&Bound), &Length);
    FPort = Bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&Bound)->sin6_port)
                                        : ntohs(reinterpret_cast<sockaddr_in*>(&Bound)->sin_port);
    FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWakeFd < 0) {
        Error = errno;
        ::close(FListenFd);
        FListenFd = -1;
        return Where + ": " + std::strerror(Error);
    }
    FThread = std::thread([this] { Serve(); });
    return {};
}

void TMetricsServer::Publish(std::shared_ptr<const TMetricsSnapshot> ASnapshot)
{
    std::lock_guard<std::mutex> Guard(FLock);
    FSnapshot = std::move(ASnapshot);
}

std::shared_ptr<const TMetricsSnapshot> TMetricsServer::Current() const
{
    std::lock_guard<std::mutex> Guard(FLock);
    return FSnapshot;
}

void TMetricsServer::Stop()
{
    if (FThread.joinable()) {
        const uint64_t One = 1;
        (void)!::write(FWakeFd, &One, sizeof One);
        FThread.join();
    }
    if (FListenFd >= 0)
        ::close(FListenFd);
    if (FWakeFd >= 0)
        ::close(FWakeFd);
    FListenFd = FWakeFd = -1;
}

std::string TMetricsServer::Respond(const TRequestHead& AHead, bool& AClose) const
{
    AClose = AClose || AHead.Close;
    const bool Head = AHead.Method == "HEAD";
    if (AHead.Method != "GET" && !Head)
        return Answer("405 Method Not Allowed", "text/plain; charset=utf-8", "Method not allowed\n", false,
            AClose, "Allow: GET, HEAD\r\n");
    if (AHead.Path == "/metrics") {
        const TMetricsFormat Format = MetricsFormatFor(AHead.Accept);
        return Answer(
            "200 OK", MetricsContentType(Format), MetricsText(*Current(), Format, true), Head, AClose);
    }
    if (AHead.Path == "/") {
        const double Now
            = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        return Answer("200 OK", "text/html; charset=utf-8", StatusPage(*Current(), Now), Head, AClose);
    }
    return Answer("404 Not Found", "text/plain; charset=utf-8", "Not found\n", Head, AClose);
}

TMetricsServer::TConnections::iterator TMetricsServer::Drop(
    TConnections& AConnections, TConnections::iterator AWhich)
{
    ::close(AWhich->Fd);
    return AConnections.erase(AWhich);
}

bool TMetricsServer::Advance(TConnection& AConnection) const
{
    const auto Now = TClock::now();
    for (;;) {
        if (AConnection.Sent < AConnection.Out.size()) {
            const ssize_t Sent = ::send(AConnection.Fd, AConnection.Out.data() + AConnection.Sent,
                AConnection.Out.size() - AConnection.Sent, MSG_NOSIGNAL);
            if (Sent < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            AConnection.Sent += static_cast<size_t>(Sent);
            if (AConnection.Sent < AConnection.Out.size())
                return true;
        }
        if (!AConnection.Out.empty()) {
            AConnection.Out.clear();
            AConnection.Sent = 0;
            if (AConnection.Close)
                return false;
            AConnection.Waiting = Now;
            AConnection.Deadline = Now + FLimits.KeepAliveIdle;
        }
        const TRequestHead Head = ParseRequestHead(AConnection.In);
        // A refused head ends the connection after its 400: what follows it cannot be told
        // from a request that another reader of the same bytes would not see.
        if (Head.State == TRequestHead::rhRefused) {
            AConnection.Close = true;
            AConnection.Out = Answer("400 Bad Request", "text/plain; charset=utf-8",
                "Bad request: " + Head.Refusal + ".\n", false, true);
            AConnection.Deadline = Now + FLimits.WriteTimeout;
            continue;
        }
        if (Head.State == TRequestHead::rhIncomplete || Head.Length > FLimits.MaxHeadBytes) {
            if (AConnection.In.size() >= FLimits.MaxHeadBytes) {
                AConnection.Close = true;
                AConnection.Out = Answer("431 Request Header Fields Too Large", "text/plain; charset=utf-8",
                    "Request head too large\n", false, true);
                AConnection.Deadline = Now + FLimits.WriteTimeout;
                continue;
            }
            // A request begun must be whole within the head's time-out.
            if (!AConnection.In.empty())
                AConnection.Deadline = std::min(AConnection.Deadline, Now + FLimits.HeaderTimeout);
            return true;
        }
        AConnection.In.erase(0, Head.Length);
        AConnection.Close = ++AConnection.Served >= FLimits.MaxRequests;
        AConnection.Out = Respond(Head, AConnection.Close);
        AConnection.Deadline = Now + FLimits.WriteTimeout;
    }
}

bool TMetricsServer::Step(TConnection& AConnection, short AEvents, TTime ANow) const
{
    bool Keep = true;
    if (AEvents & (POLLIN | POLLHUP | POLLERR)) {
        char Buffer[4096];
        const ssize_t Read = ::recv(AConnection.Fd, Buffer, sizeof Buffer, 0);
        if (Read > 0) {
            AConnection.In.append(Buffer, static_cast<size_t>(Read));
            Keep = Advance(AConnection);
        } else if (Read == 0 || (errno != EAGAIN && errno != EINTR)) {
            Keep = false;
        }
    } else if (AEvents & POLLOUT) {
        Keep = Advance(AConnection);
    }
    return Keep && ANow < AConnection.Deadline;
}

void TMetricsServer::Accept(TConnections& AConnections, TTime ANow, TTime& AAcceptPaused) const
{
    for (int Accepted = 0; Accepted < 16; ++Accepted) {
        const int Fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (Fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                AAcceptPaused = ANow + std::chrono::milliseconds(100);
            break;
        }
        if (AConnections.size() >= FLimits.MaxConnections) {
            // The one that has waited longest for its request goes; a response being
            // written is finished unless every connection is writing one.
            auto Oldest = AConnections.end();
            for (auto It = AConnections.begin(); It != AConnections.end(); ++It)
                if (It->Out.empty() && (Oldest == AConnections.end() || It->Waiting < Oldest->Waiting))
                    Oldest = It;
            Drop(AConnections, Oldest != AConnections.end() ? Oldest : AConnections.begin());
        }
        TConnection Connection;
        Connection.Fd = Fd;
        Connection.Waiting = ANow;
        Connection.Deadline = ANow + FLimits.HeaderTimeout;
        AConnections.push_back(std::move(Connection));
    }
}

void TMetricsServer::Serve()
{
    TConnections Connections;
    // Set while accept is refused for want of descriptors, so the loop does not spin on it.
    TClock::time_point AcceptPaused {};
    for (;;) {
        auto Now = TClock::now();
        auto Wake = Now + std::chrono::seconds(1);
        for (const TConnection& Connection : Connections)
            Wake = std::min(Wake, Connection.Deadline);
        const bool Listening = Now >= AcceptPaused;
        if (!Listening)
            Wake = std::min(Wake, AcceptPaused);
        std::vector<pollfd> Wait;
        Wait.reserve(Connections.size() + 2);
        Wait.push_back({ FWakeFd, POLLIN, 0 });
        Wait.push_back({ Listening ? FListenFd : -1, POLLIN, 0 });
        for (const TConnection& Connection : Connections)
            Wait.push_back({ Connection.Fd, short(Connection.Out.empty() ? POLLIN : POLLOUT), 0 });
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Wake - Now).count();
        if (::poll(Wait.data(), Wait.size(), static_cast<int>(std::max<int64_t>(Left, 0) + 1)) < 0
            && errno != EINTR)
            break;
        if (Wait[0].revents != 0)
            break;
        Now = TClock::now();

        size_t Index = 2;
        for (auto It = Connections.begin(); It != Connections.end(); ++Index)
            It = Step(*It, Wait[Index].revents, Now) ? std::next(It) : Drop(Connections, It);
        if (Listening && (Wait[1].revents & POLLIN))
            Accept(Connections, Now, AcceptPaused);
    }
    for (const TConnection& Connection : Connections)
        ::close(Connection.Fd);
}
