// The DNS probe. The queries and the parsing of the answers are c-ares's: a resolver library
// that Debian keeps, made to be driven from a loop of our own (its sockets and time-outs are
// handed out, so the wait also watches the probe's cancel token), that takes a server with a
// port and parses each record type we ask for. The wire format stays out of our code.
#include "monitors/Monitors.h"

#include "monitors/Cares.h"

#include "net/stack/NetCancel.h"
#include "net/stack/NetStack.h"
#include "net/stack/NetStrings.h"

#include <ares.h>
#include <ares_dns.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

ns_type RecordCode(const std::string& ARecord)
{
    if (SameText(ARecord, "AAAA"))
        return ns_t_aaaa;
    if (SameText(ARecord, "CNAME"))
        return ns_t_cname;
    if (SameText(ARecord, "MX"))
        return ns_t_mx;
    if (SameText(ARecord, "NS"))
        return ns_t_ns;
    if (SameText(ARecord, "TXT"))
        return ns_t_txt;
    return ns_t_a;
}

void FreeHost(hostent* AHost)
{
    if (AHost)
        Cares().free_hostent(AHost);
}

// The records of type ARecord in the answer, as text: addresses as inet_ntop writes them,
// names as the answer spells them, the strings of one TXT record joined. ARES_ENODATA when
// the answer holds none for the name asked; another c-ares status when it cannot be read.
int AnswerTexts(
    const std::string& ARecord, const std::vector<unsigned char>& AAnswer, std::vector<std::string>& ATexts)
{
    const unsigned char* Bytes = AAnswer.data();
    const int Length = static_cast<int>(AAnswer.size());
    char Text[INET6_ADDRSTRLEN] = {};
    // c-ares fills a caller's array of addresses; the answer's own record count bounds what
    // it can hold, so every record is read, however many.
    const int Records = Length >= HFIXEDSZ ? std::max<int>(DNS_HEADER_ANCOUNT(Bytes), 1) : 1;
    if (SameText(ARecord, "A")) {
        std::vector<ares_addrttl> Addresses(static_cast<size_t>(Records));
        int Count = Records;
        const int Status = Cares().parse_a_reply(Bytes, Length, nullptr, Addresses.data(), &Count);
        if (Status != ARES_SUCCESS)
            return Status;
        for (int I = 0; I < Count; ++I)
            ATexts.push_back(
                inet_ntop(AF_INET, &Addresses[static_cast<size_t>(I)].ipaddr, Text, sizeof Text));
        return ARES_SUCCESS;
    }
    if (SameText(ARecord, "AAAA")) {
        std::vector<ares_addr6ttl> Addresses(static_cast<size_t>(Records));
        int Count = Records;
        const int Status = Cares().parse_aaaa_reply(Bytes, Length, nullptr, Addresses.data(), &Count);
        if (Status != ARES_SUCCESS)
            return Status;
        for (int I = 0; I < Count; ++I)
            ATexts.push_back(
                inet_ntop(AF_INET6, &Addresses[static_cast<size_t>(I)].ip6addr, Text, sizeof Text));
        return ARES_SUCCESS;
    }
    if (SameText(ARecord, "MX")) {
        ares_mx_reply* Replies = nullptr;
        if (const int Status = Cares().parse_mx_reply(Bytes, Length, &Replies); Status != ARES_SUCCESS)
            return Status;
        for (ares_mx_reply* R = Replies; R; R = R->next)
            ATexts.push_back(R->host);
        Cares().free_data(Replies);
        return ARES_SUCCESS;
    }
    if (SameText(ARecord, "TXT")) {
        ares_txt_ext* Replies = nullptr;
        if (const int Status = Cares().parse_txt_reply_ext(Bytes, Length, &Replies); Status != ARES_SUCCESS)
            return Status;
        for (ares_txt_ext* R = Replies; R; R = R->next) {
            if (R->record_start || ATexts.empty())
                ATexts.emplace_back();
            ATexts.back().append(reinterpret_cast<const char*>(R->txt), R->length);
        }
        Cares().free_data(Replies);
        return ARES_SUCCESS;
    }
    hostent* Host = nullptr;
    if (SameText(ARecord, "NS")) {
        if (const int Status = Cares().parse_ns_reply(Bytes, Length, &Host); Status != ARES_SUCCESS)
            return Status;
        for (char** Name = Host->h_aliases; Name && *Name; ++Name)
            ATexts.push_back(*Name);
        FreeHost(Host);
        return ARES_SUCCESS;
    }
    // CNAME: c-ares follows the chain while it reads an address answer; the name it ends at
    // is the alias's target. Only a name that is an alias has one.
    const int Status = Cares().parse_a_reply(Bytes, Length, &Host, nullptr, nullptr);
    if (Status != ARES_SUCCESS && Status != ARES_ENODATA)
        return Status;
    if (Host && Host->h_aliases && Host->h_aliases[0] && Host->h_name)
        ATexts.push_back(Host->h_name);
    FreeHost(Host);
    return ARES_SUCCESS;
}

// Names match without regard to letter case and to a final dot; addresses in any spelling
// of the same address; everything else byte for byte.
bool SameAnswer(const std::string& ARecord, const std::string& AExpect, const std::string& AAnswer)
{
    if (SameText(ARecord, "A") || SameText(ARecord, "AAAA")) {
        const int Family = SameText(ARecord, "A") ? AF_INET : AF_INET6;
        unsigned char Expected[16], Got[16];
        if (inet_pton(Family, AExpect.c_str(), Expected) == 1 && inet_pton(Family, AAnswer.c_str(), Got) == 1)
            return std::memcmp(Expected, Got, Family == AF_INET ? 4 : 16) == 0;
        return AExpect == AAnswer;
    }
    if (SameText(ARecord, "TXT"))
        return AExpect == AAnswer;
    const auto Bare = [](const std::string& AName) {
        return !AName.empty() && AName.back() == '.' ? AName.substr(0, AName.size() - 1) : AName;
    };
    return SameText(Bare(AExpect), Bare(AAnswer));
}

// One question to a server (or to the system's resolvers), asked through a c-ares channel and
// waited for in a loop of our own. It also watches the sockets c-ares opens: a TCP socket
// means that the answer over UDP came truncated and the question went again over TCP, and
// how that connection failed is what a failed check must say (c-ares reports every TCP
// failure as a refused connection).
class TDnsQuestion {
public:
    TDnsQuestion(const std::string& AServer, int32_t ASeconds)
        : FServer(AServer)
        , FSeconds(ASeconds)
    {
    }
    // Also ends a query still open, whose callback then writes into the fields below.
    ~TDnsQuestion()
    {
        if (FChannel)
            Cares().destroy(FChannel);
    }
    TDnsQuestion(const TDnsQuestion&) = delete;
    TDnsQuestion& operator=(const TDnsQuestion&) = delete;

    // Starts the channel and sends the question; why not, when it could not be sent.
    std::optional<std::string> Ask(const std::string& AName, ns_type AType);
    // Waits for the answer, at most the time-out; why not, when the wait itself failed or the
    // check was cancelled.
    std::optional<std::string> Wait();

    // c-ares's status for the question; ARES_ETIMEOUT when no answer came in time.
    int Status() const { return FDone ? FStatus : ARES_ETIMEOUT; }
    const std::vector<unsigned char>& Answer() const { return FAnswer; }
    // Whether the question went again over TCP, and why that failed (empty when it did not).
    bool TriedTcp() const { return FTriedTcp; }
    const std::string& TcpFailure() const { return FTcpFailure; }

private:
    int StartChannel(int32_t AServers);
    static void Answered(void* ASelf, int AStatus, int, unsigned char* ABuffer, int ALength);
    void TcpFailed(ares_socket_t AFd, const std::string& AWhy);
    static ares_socket_t OpenSocket(int ADomain, int AType, int AProtocol, void* ASelf);
    static int CloseSocket(ares_socket_t AFd, void* ASelf);
    static int Connect(ares_socket_t AFd, const sockaddr* AAddress, ares_socklen_t ALength, void* ASelf);
    static ares_ssize_t Receive(ares_socket_t AFd, void* ABuffer, size_t ALength, int AFlags, sockaddr* AFrom,
        ares_socklen_t* AFromLength, void* ASelf);
    static ares_ssize_t Send(ares_socket_t AFd, const iovec* AParts, int ACount, void* ASelf);

    const std::string FServer;
    const int32_t FSeconds;
    ares_channel FChannel = nullptr;
    bool FDone = false;
    int FStatus = ARES_ETIMEOUT;
    std::vector<unsigned char> FAnswer;
    std::set<ares_socket_t> FTcp;
    bool FTriedTcp = false;
    std::string FTcpFailure;
};

void TDnsQuestion::Answered(void* ASelf, int AStatus, int, unsigned char* ABuffer, int ALength)
{
    auto* Self = static_cast<TDnsQuestion*>(ASelf);
    Self->FDone = true;
    Self->FStatus = AStatus;
    if (ABuffer && ALength > 0)
        Self->FAnswer.assign(ABuffer, ABuffer + ALength);
}

// One try of each server, each with its share of the monitor's time, so that a silent first
// resolver leaves time for the next; SERVFAIL and REFUSED come back as they are instead of
// sending the query on to the next server.
int TDnsQuestion::StartChannel(int32_t AServers)
{
    ares_options Options {};
    Options.timeout = std::max(FSeconds * 1000 / std::max(AServers, 1), 1);
    Options.tries = 1;
    Options.flags = ARES_FLAG_NOCHECKRESP;
    return Cares().init_options(&FChannel, &Options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS);
}

std::optional<std::string> TDnsQuestion::Ask(const std::string& AName, ns_type AType)
{
    const char* Missing = nullptr;
    if (!LoadCares(Missing))
        return std::string("DNS resolver could not start: ") + Missing;
    int Status = StartChannel(1);
    if (Status == ARES_SUCCESS && FServer.empty()) {
        // How many resolvers the system names is known only once a channel has read them.
        int32_t Servers = 0;
        ares_addr_port_node* List = nullptr;
        if (Cares().get_servers_ports(FChannel, &List) == ARES_SUCCESS)
            for (ares_addr_port_node* Node = List; Node; Node = Node->next)
                ++Servers;
        Cares().free_data(List);
        if (Servers > 1) {
            Cares().destroy(FChannel);
            FChannel = nullptr;
            Status = StartChannel(Servers);
        }
    }
    if (Status != ARES_SUCCESS)
        return std::string("DNS resolver could not start: ") + Cares().strerror(Status);
    if (!FServer.empty()) {
        // c-ares takes an IPv6 address in brackets only with a port after them.
        const std::string Server = FServer.front() == '[' && FServer.back() == ']'
            ? FServer.substr(1, FServer.size() - 2)
            : FServer;
        Status = Cares().set_servers_ports_csv(FChannel, Server.c_str());
        if (Status != ARES_SUCCESS)
            return "Server \"" + FServer + "\" cannot be used: " + Cares().strerror(Status);
    }
    static const ares_socket_functions Functions { OpenSocket, CloseSocket, Connect, Receive, Send };
    Cares().set_socket_functions(FChannel, &Functions, this);
    Cares().query(FChannel, AName.c_str(), ns_c_in, AType, Answered, this);
    return std::nullopt;
}

// Our own loop over c-ares's sockets, under one deadline for the whole query, so that a
// resolver list of several silent servers cannot hold the check longer than Timeout, and so
// that an exit wakes the wait at once.
std::optional<std::string> TDnsQuestion::Wait()
{
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(FSeconds);
    TNetCancelToken* Cancel = CurrentCancelToken();
    while (!FDone) {
        const auto Left
            = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
        if (Left.count() <= 0)
            break;
        ares_socket_t Sockets[ARES_GETSOCK_MAXNUM];
        const int Bits = Cares().getsock(FChannel, Sockets, ARES_GETSOCK_MAXNUM);
        std::vector<pollfd> Waits;
        for (int I = 0; I < ARES_GETSOCK_MAXNUM; ++I) {
            short Events = 0;
            if (ARES_GETSOCK_READABLE(Bits, I))
                Events |= POLLIN;
            if (ARES_GETSOCK_WRITABLE(Bits, I))
                Events |= POLLOUT;
            if (Events)
                Waits.push_back({ Sockets[I], Events, 0 });
        }
        const size_t SocketCount = Waits.size();
        if (Cancel)
            Waits.push_back({ Cancel->Fd(), POLLIN, 0 });
        timeval Most { static_cast<time_t>(Left.count() / 1000),
            static_cast<suseconds_t>(Left.count() % 1000 * 1000) };
        timeval Next {};
        const timeval* Wait = Cares().timeout(FChannel, &Most, &Next);
        const int WaitMs = static_cast<int>(Wait->tv_sec * 1000 + (Wait->tv_usec + 999) / 1000);
        const int Ready = ::poll(Waits.data(), static_cast<nfds_t>(Waits.size()), std::max(WaitMs, 1));
        if (Ready < 0 && errno != EINTR)
            return std::string("DNS wait failed: ") + std::strerror(errno);
        if (Cancel && Waits.back().revents)
            return std::string(RSCancelled);
        bool Any = false;
        for (size_t I = 0; I < SocketCount; ++I) {
            const pollfd& P = Waits[I];
            if (!P.revents)
                continue;
            Any = true;
            Cares().process_fd(FChannel, P.revents & (POLLIN | POLLERR | POLLHUP) ? P.fd : ARES_SOCKET_BAD,
                P.revents & POLLOUT ? P.fd : ARES_SOCKET_BAD);
        }
        // Nothing ready: let c-ares see its own time-outs.
        if (!Any)
            Cares().process_fd(FChannel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    }
    return std::nullopt;
}

// The socket calls c-ares makes, as it would make them itself, noting how a TCP connection
// failed. Each keeps errno for c-ares, which reads it after the call.
void TDnsQuestion::TcpFailed(ares_socket_t AFd, const std::string& AWhy)
{
    if (FTcp.count(AFd) && FTcpFailure.empty())
        FTcpFailure = AWhy;
}

ares_socket_t TDnsQuestion::OpenSocket(int ADomain, int AType, int AProtocol, void* ASelf)
{
    auto* Self = static_cast<TDnsQuestion*>(ASelf);
    const ares_socket_t Fd = ::socket(ADomain, AType | SOCK_CLOEXEC | SOCK_NONBLOCK, AProtocol);
    if (Fd != ARES_SOCKET_BAD && AType == SOCK_STREAM) {
        Self->FTcp.insert(Fd);
        Self->FTriedTcp = true;
    }
    return Fd;
}

int TDnsQuestion::CloseSocket(ares_socket_t AFd, void* ASelf)
{
    static_cast<TDnsQuestion*>(ASelf)->FTcp.erase(AFd);
    return ::close(AFd);
}

int TDnsQuestion::Connect(ares_socket_t AFd, const sockaddr* AAddress, ares_socklen_t ALength, void* ASelf)
{
    const int Result = ::connect(AFd, AAddress, ALength);
    const int Error = errno;
    if (Result != 0 && Error != EINPROGRESS)
        static_cast<TDnsQuestion*>(ASelf)->TcpFailed(AFd, std::strerror(Error));
    errno = Error;
    return Result;
}

ares_ssize_t TDnsQuestion::Receive(ares_socket_t AFd, void* ABuffer, size_t ALength, int AFlags,
    sockaddr* AFrom, ares_socklen_t* AFromLength, void* ASelf)
{
    const ares_ssize_t Got = ::recvfrom(AFd, ABuffer, ALength, AFlags, AFrom, AFromLength);
    const int Error = errno;
    auto* Self = static_cast<TDnsQuestion*>(ASelf);
    if (Got == 0)
        Self->TcpFailed(AFd, "the server closed the connection");
    else if (Got < 0 && Error != EAGAIN && Error != EWOULDBLOCK && Error != EINTR)
        Self->TcpFailed(AFd, std::strerror(Error));
    errno = Error;
    return Got;
}

ares_ssize_t TDnsQuestion::Send(ares_socket_t AFd, const iovec* AParts, int ACount, void* ASelf)
{
    // sendmsg rather than writev: a peer that closed must not raise SIGPIPE.
    msghdr Message {};
    Message.msg_iov = const_cast<iovec*>(AParts);
    Message.msg_iovlen = static_cast<size_t>(ACount);
    const ares_ssize_t Sent = ::sendmsg(AFd, &Message, MSG_NOSIGNAL);
    const int Error = errno;
    if (Sent < 0 && Error != EAGAIN && Error != EWOULDBLOCK && Error != EINTR)
        static_cast<TDnsQuestion*>(ASelf)->TcpFailed(AFd, std::strerror(Error));
    errno = Error;
    return Sent;
}

// What was asked, for the reasons a check gives.
struct TAsked {
    std::string Name;
    std::string Record;
    std::string From; // the server, or the system's resolvers
    int32_t Seconds = 0;

    std::string What() const { return Name + " " + Record; }
};

// Why a question that got no usable answer failed.
std::string FailureText(const TAsked& AAsked, const TDnsQuestion& AQuestion)
{
    const int Status = AQuestion.Status();
    const std::string& From = AAsked.From;
    switch (Status) {
    case ARES_ENOTFOUND:
        return "NXDOMAIN: " + AAsked.Name + " does not exist (asked " + From + ").";
    case ARES_ESERVFAIL:
        return "SERVFAIL: " + From + " could not answer for " + AAsked.What() + ".";
    case ARES_EREFUSED:
        return "REFUSED: " + From + " refused to answer for " + AAsked.What() + ".";
    case ARES_ENODATA:
        return "No " + AAsked.Record + " record for " + AAsked.Name + " (asked " + From + ").";
    default:
        break;
    }
    // The server did answer, but too much for UDP; what failed is the retry over TCP.
    if (AQuestion.TriedTcp() && (Status == ARES_ETIMEOUT || !AQuestion.TcpFailure().empty())) {
        const std::string Head
            = "The answer for " + AAsked.What() + " from " + From + " was truncated, and the TCP retry ";
        if (!AQuestion.TcpFailure().empty())
            return Head + "failed: " + AQuestion.TcpFailure() + ".";
        return Head + "got no answer within " + IntToStr(AAsked.Seconds) + " s.";
    }
    if (Status == ARES_ETIMEOUT)
        return "Timed out: no answer for " + AAsked.What() + " from " + From + " within "
            + IntToStr(AAsked.Seconds) + " s.";
    if (Status == ARES_ECONNREFUSED)
        return "Connection refused: " + From + " does not take DNS queries.";
    return std::string(Cares().strerror(Status)) + " (" + AAsked.What() + ", asked " + From + ").";
}

// The check's outcome for the records of a readable answer.
TProbeResult Match(const TAsked& AAsked, const std::string& AExpect, const std::vector<std::string>& ATexts)
{
    if (ATexts.empty())
        return { msError,
            "No " + AAsked.Record + " record for " + AAsked.Name + " (asked " + AAsked.From + ")." };
    if (AExpect.empty() || std::any_of(ATexts.begin(), ATexts.end(), [&](const std::string& AText) {
            return SameAnswer(AAsked.Record, AExpect, AText);
        }))
        return { msOK, {} };
    std::string Got;
    for (const std::string& Text : ATexts)
        Got += (Got.empty() ? "" : ", ") + Text;
    return { msError, AAsked.What() + ": expected " + AExpect + ", got " + Got + "." };
}

} // namespace

TProbeResult TDnsMonitor::Probe() const
{
    const TAsked Asked { FQuery, FRecord, FServer.empty() ? "the system's resolvers" : FServer,
        std::min(FTimeout, 86400) };
    TDnsQuestion Question(FServer, Asked.Seconds);
    std::optional<std::string> Failed = Question.Ask(FQuery, RecordCode(FRecord));
    if (!Failed)
        Failed = Question.Wait();
    if (Failed)
        return { msError, *Failed };
    if (Question.Status() != ARES_SUCCESS)
        return { msError, FailureText(Asked, Question) };
    std::vector<std::string> Texts;
    const int Read = AnswerTexts(FRecord, Question.Answer(), Texts);
    // An answer with records, none of them for the name asked.
    if (Read == ARES_ENODATA)
        return { msError,
            "The answer from " + Asked.From + " holds records, but no " + FRecord + " record for " + FQuery
                + "." };
    if (Read != ARES_SUCCESS)
        return { msError, "The answer for " + Asked.What() + " from " + Asked.From + " could not be read." };
    return Match(Asked, FExpect, Texts);
}
