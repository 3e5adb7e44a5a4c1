// The DNS probe. The queries and the parsing of the answers are c-ares's: a resolver library
// that Debian keeps, made to be driven from a loop of our own (its sockets and time-outs are
// handed out, so the wait also watches the probe's cancel token), that takes a server with a
// port and parses each record type we ask for. The wire format stays out of our code.
#include "monitors/Monitors.h"

#include "net/stack/NetCancel.h"
#include "net/stack/NetStack.h"
#include "net/stack/NetStrings.h"

#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// ares_library_init is not thread-safe; checks run on many workers.
void InitLibrary()
{
    static std::once_flag Once;
    std::call_once(Once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
}

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

// What came back for one query: c-ares's status and the answer's bytes.
struct TAnswer {
    bool Done = false;
    int Status = ARES_ETIMEOUT;
    std::vector<unsigned char> Bytes;
};

void Answered(void* AArg, int AStatus, int, unsigned char* ABuffer, int ALength)
{
    auto* Answer = static_cast<TAnswer*>(AArg);
    Answer->Done = true;
    Answer->Status = AStatus;
    if (ABuffer && ALength > 0)
        Answer->Bytes.assign(ABuffer, ABuffer + ALength);
}

// The channel, destroyed on every way out (which also ends a query still open).
struct TChannel {
    ares_channel Channel = nullptr;
    ~TChannel()
    {
        if (Channel)
            ares_destroy(Channel);
    }
};

void FreeHost(hostent* AHost)
{
    if (AHost)
        ares_free_hostent(AHost);
}

// The records of type ARecord in the answer, as text: addresses as inet_ntop writes them,
// names as the answer spells them, the strings of one TXT record joined. False when c-ares
// could not read the answer.
bool AnswerTexts(const std::string& ARecord, const TAnswer& AAnswer, std::vector<std::string>& ATexts)
{
    const unsigned char* Bytes = AAnswer.Bytes.data();
    const int Length = static_cast<int>(AAnswer.Bytes.size());
    char Text[INET6_ADDRSTRLEN] = {};
    if (SameText(ARecord, "A")) {
        ares_addrttl Addresses[64];
        int Count = 64;
        if (ares_parse_a_reply(Bytes, Length, nullptr, Addresses, &Count) != ARES_SUCCESS)
            return false;
        for (int I = 0; I < Count; ++I)
            ATexts.push_back(inet_ntop(AF_INET, &Addresses[I].ipaddr, Text, sizeof Text));
        return true;
    }
    if (SameText(ARecord, "AAAA")) {
        ares_addr6ttl Addresses[64];
        int Count = 64;
        if (ares_parse_aaaa_reply(Bytes, Length, nullptr, Addresses, &Count) != ARES_SUCCESS)
            return false;
        for (int I = 0; I < Count; ++I)
            ATexts.push_back(inet_ntop(AF_INET6, &Addresses[I].ip6addr, Text, sizeof Text));
        return true;
    }
    if (SameText(ARecord, "MX")) {
        ares_mx_reply* Replies = nullptr;
        if (ares_parse_mx_reply(Bytes, Length, &Replies) != ARES_SUCCESS)
            return false;
        for (ares_mx_reply* R = Replies; R; R = R->next)
            ATexts.push_back(R->host);
        ares_free_data(Replies);
        return true;
    }
    if (SameText(ARecord, "TXT")) {
        ares_txt_ext* Replies = nullptr;
        if (ares_parse_txt_reply_ext(Bytes, Length, &Replies) != ARES_SUCCESS)
            return false;
        for (ares_txt_ext* R = Replies; R; R = R->next) {
            if (R->record_start || ATexts.empty())
                ATexts.emplace_back();
            ATexts.back().append(reinterpret_cast<const char*>(R->txt), R->length);
        }
        ares_free_data(Replies);
        return true;
    }
    hostent* Host = nullptr;
    if (SameText(ARecord, "NS")) {
        if (ares_parse_ns_reply(Bytes, Length, &Host) != ARES_SUCCESS)
            return false;
        for (char** Name = Host->h_aliases; Name && *Name; ++Name)
            ATexts.push_back(*Name);
        FreeHost(Host);
        return true;
    }
    // CNAME: c-ares follows the chain while it reads an address answer; the name it ends at
    // is the alias's target. Only a name that is an alias has one.
    const int Status = ares_parse_a_reply(Bytes, Length, &Host, nullptr, nullptr);
    if (Status != ARES_SUCCESS && Status != ARES_ENODATA)
        return false;
    if (Host && Host->h_aliases && Host->h_aliases[0] && Host->h_name)
        ATexts.push_back(Host->h_name);
    FreeHost(Host);
    return true;
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

} // namespace

TProbeResult TDnsMonitor::Probe() const
{
    InitLibrary();
    const std::string What = FQuery + " " + FRecord;
    const std::string From = FServer.empty() ? "the system's resolvers" : FServer;
    const int32_t Seconds = std::min(FTimeout, 86400);
    // Before the channel: destroying a channel with the query still open calls its callback.
    TAnswer Answer;
    TChannel Channel;
    // One try of each server, each with its share of the monitor's time, so that a silent
    // first resolver leaves time for the next; SERVFAIL and REFUSED come back as they are
    // instead of sending the query on to the next server.
    const auto Init = [&](int32_t AServers) {
        ares_options Options {};
        Options.timeout = std::max(Seconds * 1000 / std::max(AServers, 1), 1);
        Options.tries = 1;
        Options.flags = ARES_FLAG_NOCHECKRESP;
        return ares_init_options(
            &Channel.Channel, &Options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS);
    };
    int Status = Init(1);
    if (Status == ARES_SUCCESS && FServer.empty()) {
        // How many resolvers the system names is known only once a channel has read them.
        int32_t Servers = 0;
        ares_addr_port_node* List = nullptr;
        if (ares_get_servers_ports(Channel.Channel, &List) == ARES_SUCCESS)
            for (ares_addr_port_node* Node = List; Node; Node = Node->next)
                ++Servers;
        ares_free_data(List);
        if (Servers > 1) {
            ares_destroy(Channel.Channel);
            Channel.Channel = nullptr;
            Status = Init(Servers);
        }
    }
    if (Status != ARES_SUCCESS)
        return { msError, std::string("DNS resolver could not start: ") + ares_strerror(Status) };
    if (!FServer.empty()) {
        // c-ares takes an IPv6 address in brackets only with a port after them.
        const std::string Server = FServer.front() == '[' && FServer.back() == ']'
            ? FServer.substr(1, FServer.size() - 2)
            : FServer;
        Status = ares_set_servers_ports_csv(Channel.Channel, Server.c_str());
        if (Status != ARES_SUCCESS)
            return { msError, "Server \"" + FServer + "\" cannot be used: " + ares_strerror(Status) };
    }
    ares_query(Channel.Channel, FQuery.c_str(), ns_c_in, RecordCode(FRecord), Answered, &Answer);

    // Our own loop over c-ares's sockets, under one deadline for the whole query, so that a
    // resolver list of several silent servers cannot hold the check longer than Timeout, and
    // so that an exit wakes the wait at once.
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
    TNetCancelToken* Cancel = CurrentCancelToken();
    while (!Answer.Done) {
        const auto Left
            = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
        if (Left.count() <= 0)
            break;
        ares_socket_t Sockets[ARES_GETSOCK_MAXNUM];
        const int Bits = ares_getsock(Channel.Channel, Sockets, ARES_GETSOCK_MAXNUM);
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
        const timeval* Wait = ares_timeout(Channel.Channel, &Most, &Next);
        const int WaitMs = static_cast<int>(Wait->tv_sec * 1000 + (Wait->tv_usec + 999) / 1000);
        const int Ready = ::poll(Waits.data(), static_cast<nfds_t>(Waits.size()), std::max(WaitMs, 1));
        if (Ready < 0 && errno != EINTR)
            return { msError, std::string("DNS wait failed: ") + std::strerror(errno) };
        if (Cancel && Waits.back().revents)
            return { msError, RSCancelled };
        bool Any = false;
        for (size_t I = 0; I < SocketCount; ++I) {
            const pollfd& P = Waits[I];
            if (!P.revents)
                continue;
            Any = true;
            ares_process_fd(Channel.Channel,
                P.revents & (POLLIN | POLLERR | POLLHUP) ? P.fd : ARES_SOCKET_BAD,
                P.revents & POLLOUT ? P.fd : ARES_SOCKET_BAD);
        }
        // Nothing ready: let c-ares see its own time-outs.
        if (!Any)
            ares_process_fd(Channel.Channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    }

    switch (Answer.Done ? Answer.Status : ARES_ETIMEOUT) {
    case ARES_SUCCESS:
        break;
    case ARES_ENOTFOUND:
        return { msError, "NXDOMAIN: " + FQuery + " does not exist (asked " + From + ")." };
    case ARES_ESERVFAIL:
        return { msError, "SERVFAIL: " + From + " could not answer for " + What + "." };
    case ARES_EREFUSED:
        return { msError, "REFUSED: " + From + " refused to answer for " + What + "." };
    case ARES_ETIMEOUT:
        return { msError,
            "Timed out: no answer for " + What + " from " + From + " within " + IntToStr(Seconds) + " s." };
    case ARES_ENODATA:
        return { msError, "No " + FRecord + " record for " + FQuery + " (asked " + From + ")." };
    case ARES_ECONNREFUSED:
        return { msError, "Connection refused: " + From + " does not take DNS queries." };
    default:
        return { msError,
            std::string(ares_strerror(Answer.Status)) + " (" + What + ", asked " + From + ")." };
    }
    std::vector<std::string> Texts;
    if (!AnswerTexts(FRecord, Answer, Texts))
        return { msError, "The answer for " + What + " from " + From + " could not be read." };
    if (Texts.empty())
        return { msError, "No " + FRecord + " record for " + FQuery + " (asked " + From + ")." };
    if (FExpect.empty() || std::any_of(Texts.begin(), Texts.end(), [this](const std::string& AText) {
            return SameAnswer(FRecord, FExpect, AText);
        }))
        return { msOK, {} };
    std::string Got;
    for (const std::string& Text : Texts)
        Got += (Got.empty() ? "" : ", ") + Text;
    return { msError, What + ": expected " + FExpect + ", got " + Got + "." };
}
