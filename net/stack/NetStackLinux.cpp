#include "net/stack/NetStackLinux.h"

#include "net/stack/NetCancel.h"
#include "net/stack/NetStrings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

TNetStackClass GSocketStackClass = &NetStackClassOf<TNetStackLinux>;
TNetSocketListClass GSocketListClass = &NetSocketListClassOf<TNetSocketListLinux>;

namespace {

// The calling thread's last socket error, set by every failed call of the stack. Kept apart
// from errno so that whatever runs between the failed call and CheckSocketResult (string
// building, destructors, a sanitizer's interceptors) cannot change it.
thread_local int32_t GThreadSocketError = 0;

void RecordErrno()
{
    GThreadSocketError = TNetStackLinux::ErrnoToSocketError(errno);
}

// Repeats a call that a signal interrupted before it did anything. Every call below goes
// through here except close (see CloseSocketHandle); SelectSockets' call works out the time
// that is left each time it runs, and connect copes with being asked again (ConnectSocket).
template <class TCall> auto Restarting(TCall ACall) -> decltype(ACall())
{
    for (;;) {
        auto Result = ACall();
        if (Result != -1 || errno != EINTR)
            return Result;
    }
}

// Records the error of a failed call; passes the result on.
template <class T> T Recorded(T AResult)
{
    if (AResult == -1)
        RecordErrno();
    return AResult;
}

int32_t Failed(int AErrno)
{
    GThreadSocketError = TNetStackLinux::ErrnoToSocketError(AErrno);
    return -1;
}

std::string AddressText(TNetStack& AStack, const in_addr& AAddress)
{
    TNetAddressBytes Bytes;
    std::memcpy(Bytes.data(), &AAddress, Bytes.size());
    return AStack.AddressToString(Bytes);
}

// An IPv6 address as text, with the zone of a scoped address after "%": by the interface's
// name where it has one, so that the text reads back to the same address.
std::string AddressText(const sockaddr_in6& AAddress)
{
    char Text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
    inet_ntop(AF_INET6, &AAddress.sin6_addr, Text, INET6_ADDRSTRLEN);
    std::string Result(Text);
    if (AAddress.sin6_scope_id != 0) {
        char Name[IF_NAMESIZE] = {};
        Result += '%';
        Result += if_indextoname(AAddress.sin6_scope_id, Name) ? std::string(Name)
                                                               : std::to_string(AAddress.sin6_scope_id);
    }
    return Result;
}

// Address and port of a socket address of either family.
void ReadAddress(TNetStack& AStack, const sockaddr_storage& AAddress, std::string& AIP, int32_t& APort)
{
    if (AAddress.ss_family == AF_INET6) {
        const auto& Address = reinterpret_cast<const sockaddr_in6&>(AAddress);
        AIP = AddressText(Address);
        APort = ntohs(Address.sin6_port);
    } else {
        const auto& Address = reinterpret_cast<const sockaddr_in&>(AAddress);
        AIP = AddressText(AStack, Address.sin_addr);
        APort = ntohs(Address.sin_port);
    }
}

// An IPv6 address text (zone included) read in numeric mode: no name server is asked.
bool ParseIPv6(const std::string& AIP, sockaddr_in6& AAddress)
{
    if (AIP.find('\0') != std::string::npos)
        return false;
    addrinfo Hints {};
    Hints.ai_family = AF_INET6;
    Hints.ai_flags = AI_NUMERICHOST;
    addrinfo* List = nullptr;
    if (getaddrinfo(AIP.c_str(), nullptr, &Hints, &List) != 0 || !List)
        return false;
    std::memcpy(&AAddress, List->ai_addr, sizeof AAddress);
    freeaddrinfo(List);
    return true;
}

// A socket address of the family. An IPv4 text is read as StringToAddress reads it; a port
// outside 0..65535 is refused rather than cut to 16 bits, and so is an IPv6 text that is no
// address.
bool MakeAddress(TNetStack& AStack, int32_t AFamily, const std::string& AIP, bool AEmptyIsAny, int32_t APort,
    sockaddr_storage& AAddress, socklen_t& ALength)
{
    if (APort < 0 || APort > 65535)
        return false;
    std::memset(&AAddress, 0, sizeof AAddress);
    if (AFamily == NetFamilyIPv6) {
        auto& Address = reinterpret_cast<sockaddr_in6&>(AAddress);
        if (!(AEmptyIsAny && AIP.empty()) && !ParseIPv6(AIP, Address))
            return false;
        Address.sin6_family = AF_INET6;
        Address.sin6_port = htons(static_cast<uint16_t>(APort));
        ALength = sizeof Address;
        return true;
    }
    auto& Address = reinterpret_cast<sockaddr_in&>(AAddress);
    Address.sin_family = static_cast<sa_family_t>(AFamily);
    Address.sin_port = htons(static_cast<uint16_t>(APort));
    Address.sin_addr.s_addr = (AEmptyIsAny && AIP.empty()) ? htonl(INADDR_ANY) : AStack.StringToAddress(AIP);
    ALength = sizeof Address;
    return true;
}

struct TAddrInfoFree {
    void operator()(addrinfo* AInfo) const { freeaddrinfo(AInfo); }
};
using TAddrInfoList = std::unique_ptr<addrinfo, TAddrInfoFree>;

// Addresses of a name of the family (AF_INET, or AF_UNSPEC for both), one entry per
// address; empty with the error code in ACode on failure.
TAddrInfoList Resolve(const std::string& AName, int AFamily, int32_t& ACode)
{
    // A NUL inside the name would silently cut it short.
    if (AName.find('\0') != std::string::npos) {
        ACode = NetErrHostNotFound;
        return nullptr;
    }
    addrinfo Hints {};
    Hints.ai_family = AFamily;
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo* List = nullptr;
    int Result = getaddrinfo(AName.c_str(), nullptr, &Hints, &List);
    if (Result != 0) {
        ACode = TNetStackLinux::ResolverErrorToSocketError(Result, errno);
        return nullptr;
    }
    return TAddrInfoList(List);
}

// IPv4 addresses of a name; empty (with the error recorded) on failure.
TAddrInfoList ResolveIPv4(const std::string& AName)
{
    int32_t Code = 0;
    TAddrInfoList List = Resolve(AName, AF_INET, Code);
    if (!List)
        GThreadSocketError = Code;
    return List;
}

// Every address of a name, both families, in the resolver's order and each once; 0 or the
// error code. Touches no stack object: an abandoned lookup may end after the stack has gone.
int32_t ResolveAll(const std::string& AName, std::vector<TNetHostAddress>& AAddresses)
{
    int32_t Code = 0;
    TAddrInfoList List = Resolve(AName, AF_UNSPEC, Code);
    if (!List)
        return Code;
    for (const addrinfo* P = List.get(); P; P = P->ai_next) {
        TNetHostAddress Address;
        if (P->ai_family == AF_INET && P->ai_addr) {
            char Text[INET_ADDRSTRLEN] = {};
            inet_ntop(
                AF_INET, &reinterpret_cast<const sockaddr_in*>(P->ai_addr)->sin_addr, Text, sizeof Text);
            Address = { NetFamilyIPv4, Text };
        } else if (P->ai_family == AF_INET6 && P->ai_addr) {
            Address = { NetFamilyIPv6, AddressText(*reinterpret_cast<const sockaddr_in6*>(P->ai_addr)) };
        } else {
            continue;
        }
        if (std::find(AAddresses.begin(), AAddresses.end(), Address) == AAddresses.end())
            AAddresses.push_back(std::move(Address));
    }
    return AAddresses.empty() ? NetErrHostNotFound : 0;
}

// Lookups with a deadline.
//
// getaddrinfo cannot be interrupted, and with name servers that never answer it blocks for
// as long as the resolver's own retries take (a minute and more). So each lookup runs on a
// thread of its own, and the caller waits for it with a deadline (and the calling thread's
// cancel token). A caller that gives up abandons the lookup: the thread is detached and
// ends by itself when getaddrinfo returns. What keeps that safe:
//   - the lookup's state (name, result, its "done" descriptor) is one TLookup that the
//     thread and every waiter hold by shared_ptr; whoever lets go last frees it, so neither
//     an early-leaving waiter nor a late thread touches freed memory;
//   - the thread touches nothing else but the table below, which is never destroyed (an
//     abandoned thread may still run while the process exits);
//   - the result is written and read under the lookup's lock; its descriptor only wakes the
//     waiters;
//   - waiters for a name already being looked up join that lookup instead of starting
//     another: with a dead name server, checks of one name repeated every interval add no
//     threads, so their number stays bounded by the number of names.
struct TLookup {
    explicit TLookup(std::string AName)
        : Name(std::move(AName))
    {
        Done = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~TLookup()
    {
        if (Done >= 0)
            ::close(Done);
    }
    TLookup(const TLookup&) = delete;
    TLookup& operator=(const TLookup&) = delete;

    const std::string Name;
    int Done = -1; // readable once the result is in
    std::mutex Lock; // guards the three below
    bool Finished = false;
    int32_t Code = 0;
    std::vector<TNetHostAddress> Addresses;
};

struct TLookupTable {
    std::mutex Lock;
    std::unordered_map<std::string, std::shared_ptr<TLookup>> Running;
};

TLookupTable& Lookups()
{
    static TLookupTable* Table = new TLookupTable;
    return *Table;
}

void RunLookup(const std::shared_ptr<TLookup>& ALookup)
{
    std::vector<TNetHostAddress> Addresses;
    const int32_t Code = ResolveAll(ALookup->Name, Addresses);
    {
        std::lock_guard<std::mutex> Guard(ALookup->Lock);
        ALookup->Code = Code;
        ALookup->Addresses = std::move(Addresses);
        ALookup->Finished = true;
    }
    {
        TLookupTable& Table = Lookups();
        std::lock_guard<std::mutex> Guard(Table.Lock);
        auto It = Table.Running.find(ALookup->Name);
        if (It != Table.Running.end() && It->second == ALookup)
            Table.Running.erase(It);
    }
    const uint64_t One = 1;
    (void)!::write(ALookup->Done, &One, sizeof One);
}

std::shared_ptr<TLookup> StartLookup(const std::string& AName)
{
    TLookupTable& Table = Lookups();
    std::lock_guard<std::mutex> Guard(Table.Lock);
    std::shared_ptr<TLookup>& Entry = Table.Running[AName];
    if (Entry)
        return Entry;
    auto Lookup = std::make_shared<TLookup>(AName);
    if (Lookup->Done < 0) {
        RecordErrno();
        Table.Running.erase(AName);
        return nullptr;
    }
    try {
        std::thread([Lookup] { RunLookup(Lookup); }).detach();
    } catch (...) {
        Table.Running.erase(AName);
        throw;
    }
    Entry = Lookup;
    return Lookup;
}

// Waits for the lookup until ATimeout ms have passed (zero or negative: without limit);
// true when it has finished. The calling thread's cancel token ends the wait with
// ENetCancelled; the lookup goes on by itself as it does after a time-out.
bool WaitLookup(const TLookup& ALookup, int32_t ATimeout)
{
    using TClock = std::chrono::steady_clock;
    const TClock::time_point Deadline = TClock::now() + std::chrono::milliseconds(ATimeout);
    const TNetCancelToken* Cancel = CurrentCancelToken();
    // A negative descriptor is passed over by poll.
    pollfd Wait[2] = { { ALookup.Done, POLLIN, 0 }, { Cancel ? Cancel->Fd() : -1, POLLIN, 0 } };
    for (;;) {
        int Left = -1;
        if (ATimeout > 0) {
            const auto Rest = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now()).count();
            if (Rest <= 0)
                return false;
            Left = static_cast<int>(Rest);
        }
        const int Ready = ::poll(Wait, 2, Left);
        if (Ready > 0 && Wait[0].revents != 0)
            return true;
        if (Ready > 0 && Wait[1].revents != 0)
            throw ENetCancelled(RSCancelled);
        if (Ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

// errno values become the codes of the socket error table (their texts are in NetStack.cpp).
// An errno the table has no code for becomes 20000 + errno: outside the table, so its text is
// empty, and clear of the table's codes (10000 + errno would collide with them, the table
// numbering the errors differently from Linux).
int32_t TNetStackLinux::ErrnoToSocketError(int AErrno)
{
    switch (AErrno) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EAGAIN: // EWOULDBLOCK is the same value here
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
    case EPIPE:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    default:
        return 20000 + AErrno;
    }
}

// Every way a name can fail to resolve reads "Host not found." (11001), a temporary failure
// of the name service included: the operator learns that the name did not resolve, which is
// what matters for a monitor.
int32_t TNetStackLinux::ResolverErrorToSocketError(int AResult, int AErrno)
{
    switch (AResult) {
    case 0:
        return 0;
    case EAI_SYSTEM:
        return ErrnoToSocketError(AErrno);
    case EAI_MEMORY:
        return 10055;
    case EAI_FAMILY:
        return 10047;
    case EAI_SOCKTYPE:
        return 10044;
    case EAI_BADFLAGS:
    case EAI_SERVICE:
    case EAI_OVERFLOW:
        return 10022;
    default: // EAI_NONAME, EAI_NODATA, EAI_ADDRFAMILY, EAI_AGAIN, EAI_FAIL
        return NetErrHostNotFound;
    }
}

void TNetStackLinux::SetLastSocketError(int32_t ACode)
{
    GThreadSocketError = ACode;
}

int32_t TNetStackLinux::LastSocketError()
{
    return GThreadSocketError;
}

// Linux has no sockets library to start; the start-up stays so that a stack class can add
// its own once-per-process preparation.
int32_t TNetStackLinux::StartupSockets()
{
    return 0;
}

void TNetStackLinux::RefreshLocalAddresses()
{
    if (!FLocalAddresses)
        FLocalAddresses = std::make_unique<std::vector<std::string>>();
    FLocalAddresses->clear();
    TAddrInfoList List = ResolveIPv4(HostName());
    if (!List)
        CheckSocketResult(-1);
    for (const addrinfo* P = List.get(); P; P = P->ai_next) {
        if (P->ai_family == AF_INET && P->ai_addr)
            FLocalAddresses->push_back(
                AddressText(*this, reinterpret_cast<const sockaddr_in*>(P->ai_addr)->sin_addr));
    }
}

std::string TNetStackLinux::LocalAddress()
{
    const std::vector<std::string>& List = LocalAddresses();
    return List.empty() ? std::string() : List.front();
}

const std::vector<std::string>& TNetStackLinux::LocalAddresses()
{
    if (!FLocalAddresses)
        FLocalAddresses = std::make_unique<std::vector<std::string>>();
    RefreshLocalAddresses();
    return *FLocalAddresses;
}

int TNetStackLinux::AcceptConnection(int ASocket, std::string& AIP, int32_t& APort)
{
    sockaddr_storage Address {};
    socklen_t Length = sizeof Address;
    int Result = Recorded(Restarting(
        [&] { return ::accept4(ASocket, reinterpret_cast<sockaddr*>(&Address), &Length, SOCK_CLOEXEC); }));
    if (Result != -1)
        ReadAddress(*this, Address, AIP, APort);
    return Result;
}

int32_t TNetStackLinux::BindSocket(int ASocket, int32_t AFamily, const std::string& AIP, int32_t APort)
{
    sockaddr_storage Address;
    socklen_t Length = 0;
    if (!MakeAddress(*this, AFamily, AIP, true, APort, Address, Length))
        return Failed(EINVAL);
    return Recorded(
        Restarting([&] { return ::bind(ASocket, reinterpret_cast<const sockaddr*>(&Address), Length); }));
}

int32_t TNetStackLinux::CloseSocketHandle(int ASocket)
{
    // close releases the descriptor even when a signal interrupts it; closing again could hit
    // a descriptor that another thread has opened meanwhile, so an interrupted close is done.
    int Result = ::close(ASocket);
    if (Result == -1 && errno == EINTR)
        return 0;
    return Recorded(Result);
}

int32_t TNetStackLinux::ConnectSocket(int ASocket, int32_t AFamily, const std::string& AIP, int32_t APort)
{
    sockaddr_storage Address;
    socklen_t Length = 0;
    if (!MakeAddress(*this, AFamily, AIP, false, APort, Address, Length))
        return Failed(EINVAL);
    bool Interrupted = false;
    int Result = Restarting([&] {
        int R = ::connect(ASocket, reinterpret_cast<const sockaddr*>(&Address), Length);
        if (R == -1 && errno == EINTR)
            Interrupted = true;
        return R;
    });
    // An interrupted connect goes on in the background and asking again waits for its end;
    // should the connection be made in between, the second call says so with EISCONN.
    if (Result == -1 && Interrupted && errno == EISCONN)
        Result = 0;
    return Recorded(Result);
}

std::string TNetStackLinux::HostByName(const std::string& AHostName)
{
    std::vector<TNetHostAddress> Addresses;
    if (const int32_t Code = ResolveAll(AHostName, Addresses); Code != 0) {
        SetLastSocketError(Code);
        CheckSocketResult(-1);
    }
    return Addresses.front().IP;
}

std::vector<TNetHostAddress> TNetStackLinux::HostAddresses(const std::string& AHostName, int32_t ATimeout)
{
    const std::shared_ptr<TLookup> Lookup = StartLookup(AHostName);
    if (!Lookup)
        CheckSocketResult(-1);
    if (!WaitLookup(*Lookup, ATimeout))
        throw ENetConnectTimeout(RSLookupTimedOut);
    std::lock_guard<std::mutex> Guard(Lookup->Lock);
    if (Lookup->Code != 0) {
        SetLastSocketError(Lookup->Code);
        CheckSocketResult(-1);
    }
    return Lookup->Addresses;
}

std::string TNetStackLinux::HostName()
{
    char Buffer[256] = {};
    if (Recorded(::gethostname(Buffer, sizeof Buffer - 1)) == -1)
        return {};
    return std::string(Buffer);
}

std::string TNetStackLinux::HostByAddress(const std::string& AAddress)
{
    sockaddr_storage Address;
    socklen_t Length = 0;
    if (!MakeAddress(*this, AddressFamily(AAddress), AAddress, false, 0, Address, Length)) {
        SetLastSocketError(NetErrInvalidArgument);
        CheckSocketResult(-1);
    }
    char Name[NI_MAXHOST] = {};
    int Result = getnameinfo(
        reinterpret_cast<const sockaddr*>(&Address), Length, Name, sizeof Name, nullptr, 0, NI_NAMEREQD);
    if (Result != 0) {
        SetLastSocketError(ResolverErrorToSocketError(Result, errno));
        CheckSocketResult(-1);
    }
    return std::string(Name);
}

int32_t TNetStackLinux::ServicePort(const std::string& AService)
{
    std::vector<char> Buffer(4096);
    servent Entry {};
    servent* Found = nullptr;
    // A NUL inside the name would look up a shorter name.
    if (AService.find('\0') == std::string::npos) {
        while (
            getservbyname_r(AService.c_str(), nullptr, &Entry, Buffer.data(), Buffer.size(), &Found) == ERANGE
            && Buffer.size() < 1024 * 1024)
            Buffer.resize(Buffer.size() * 2);
    }
    if (Found)
        return ntohs(static_cast<uint16_t>(Found->s_port));
    int32_t Port = 0;
    if (TryStrToInt(AService, Port))
        return Port;
    throw ENetInvalidServiceName(FormatStr(RSInvalidServiceName, AService.c_str()));
}

std::vector<std::string> TNetStackLinux::ServiceNames(int32_t APort)
{
    std::vector<std::string> Names;
    std::vector<char> Buffer(4096);
    servent Entry {};
    servent* Found = nullptr;
    int Port = htons(static_cast<uint16_t>(APort));
    while (getservbyport_r(Port, nullptr, &Entry, Buffer.data(), Buffer.size(), &Found) == ERANGE
        && Buffer.size() < 1024 * 1024)
        Buffer.resize(Buffer.size() * 2);
    if (Found) {
        Names.emplace_back(Found->s_name);
        for (char** Alias = Found->s_aliases; Alias && *Alias; ++Alias)
            Names.emplace_back(*Alias);
    }
    return Names;
}

uint16_t TNetStackLinux::HostToNetShort(uint16_t AValue)
{
    return htons(AValue);
}

int32_t TNetStackLinux::ListenSocket(int ASocket, int32_t ABacklog)
{
    return Recorded(Restarting([&] { return ::listen(ASocket, ABacklog); }));
}

uint16_t TNetStackLinux::NetToHostShort(uint16_t AValue)
{
    return ntohs(AValue);
}

uint32_t TNetStackLinux::HostToNetLong(uint32_t AValue)
{
    return htonl(AValue);
}

uint32_t TNetStackLinux::NetToHostLong(uint32_t AValue)
{
    return ntohl(AValue);
}

int32_t TNetStackLinux::ReceiveData(int ASocket, void* ABuffer, int32_t AFlags, int32_t ALength)
{
    if (ALength < 0)
        return Failed(EINVAL);
    return static_cast<int32_t>(
        Recorded(Restarting([&] { return ::recv(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags); })));
}

int32_t TNetStackLinux::ReceiveDataFrom(
    int ASocket, void* ABuffer, int32_t ALength, int32_t AFlags, std::string& AIP, int32_t& APort)
{
    if (ALength < 0)
        return Failed(EINVAL);
    sockaddr_storage Address {};
    socklen_t Length = sizeof Address;
    ssize_t Result = Recorded(Restarting([&] {
        return ::recvfrom(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags,
            reinterpret_cast<sockaddr*>(&Address), &Length);
    }));
    if (Result != -1)
        ReadAddress(*this, Address, AIP, APort);
    return static_cast<int32_t>(Result);
}

namespace {

// What select counts as ready: a reader is woken by data, by the end of the stream and by an
// error; a writer by room and by an error; the third set by urgent data.
constexpr short SelectWanted[3] = { POLLIN, POLLOUT, POLLPRI };
constexpr short SelectReady[3] = { POLLIN | POLLHUP | POLLERR, POLLOUT | POLLERR, POLLPRI };

// select's three lists as one poll set: each list's descriptors in order, and room for one
// more after them.
struct TSelectSet {
    std::array<pollfd, 3 * TNetSocketList::MaxHandles + 1> Fds;
    std::array<int32_t, 3> Counts {};
    nfds_t Total = 0;
};

// Each list's descriptors into ASet, once each, with what its set waits for; false at the
// first one that is negative.
bool GatherLists(TNetSocketList* const (&ALists)[3], TSelectSet& ASet)
{
    for (int K = 0; K < 3; ++K) {
        if (!ALists[K])
            continue;
        const int32_t Count = ALists[K]->Count();
        for (int32_t I = 0; I < Count; ++I) {
            const int Fd = ALists[K]->Item(I);
            if (Fd < 0)
                return false;
            bool Seen = false; // a set holds a descriptor once
            for (nfds_t J = ASet.Total - static_cast<nfds_t>(ASet.Counts[K]); J < ASet.Total; ++J)
                Seen = Seen || ASet.Fds[J].fd == Fd;
            if (Seen)
                continue;
            ASet.Fds[ASet.Total++] = pollfd { Fd, SelectWanted[K], 0 };
            ++ASet.Counts[K];
        }
    }
    return true;
}

// poll on ASet for ATimeout ms (negative: without limit); after a signal it goes on for what
// is left of the time.
int PollFor(TSelectSet& ASet, int32_t ATimeout)
{
    using TClock = std::chrono::steady_clock;
    const bool Forever = ATimeout < 0;
    const TClock::time_point Deadline = TClock::now() + std::chrono::milliseconds(Forever ? 0 : ATimeout);
    return Restarting([&] {
        int Wait = -1;
        if (!Forever) {
            auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now()).count();
            Wait = Left > 0 ? static_cast<int>(Left) : 0;
        }
        return ::poll(ASet.Fds.data(), ASet.Total, Wait);
    });
}

// Leaves in each list only its descriptors that are ready; how many there are in all.
int32_t KeepReady(TNetSocketList* const (&ALists)[3], const TSelectSet& ASet)
{
    int32_t ReadyCount = 0;
    nfds_t At = 0;
    for (int K = 0; K < 3; ++K) {
        if (!ALists[K])
            continue;
        std::array<int, TNetSocketList::MaxHandles> Handles;
        int32_t N = 0;
        for (int32_t I = 0; I < ASet.Counts[K]; ++I, ++At) {
            if (ASet.Fds[At].revents & SelectReady[K])
                Handles[static_cast<size_t>(N++)] = ASet.Fds[At].fd;
        }
        ALists[K]->Clear();
        for (int32_t I = 0; I < N; ++I)
            ALists[K]->Add(Handles[static_cast<size_t>(I)]);
        ReadyCount += N;
    }
    return ReadyCount;
}

} // namespace

// Waits with poll: descriptor numbers have no upper limit there, and nothing is ever written
// outside the arrays below, whatever the numbers are. The lists keep their limit of 64.
int32_t TNetStackLinux::SelectSockets(
    TNetSocketList* ARead, TNetSocketList* AWrite, TNetSocketList* AError, int32_t ATimeout)
{
    TNetSocketList* const Lists[3] = { ARead, AWrite, AError };
    for (TNetSocketList* List : Lists) {
        if (List && List->Count() > TNetSocketList::MaxHandles)
            throw ENetStackSetSizeExceeded(RSSetSizeExceeded);
    }
    TSelectSet Set;
    if (!GatherLists(Lists, Set))
        return Failed(EBADF);

    // The calling thread's cancel token is watched as one more descriptor after the lists, so
    // that a probe cancelled from another thread leaves its wait at once.
    const TNetCancelToken* Cancel = CurrentCancelToken();
    const nfds_t Watched = Set.Total;
    if (Cancel)
        Set.Fds[Set.Total++] = pollfd { Cancel->Fd(), POLLIN, 0 };
    const int Result = PollFor(Set, ATimeout);
    if (Result == -1)
        return Recorded(Result);
    if (Cancel && Set.Fds[Watched].revents != 0)
        throw ENetCancelled(RSCancelled);
    Set.Total = Watched;

    // select fails as a whole, lists untouched, when a descriptor is not open.
    for (nfds_t J = 0; J < Set.Total; ++J) {
        if (Set.Fds[J].revents & POLLNVAL)
            return Failed(EBADF);
    }
    return KeepReady(Lists, Set);
}

int32_t TNetStackLinux::SendData(int ASocket, const void* ABuffer, int32_t AFlags, int32_t ALength)
{
    if (ALength < 0)
        return Failed(EINVAL);
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE instead of a SIGPIPE ending the process.
    return static_cast<int32_t>(Recorded(Restarting(
        [&] { return ::send(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags | MSG_NOSIGNAL); })));
}

int32_t TNetStackLinux::SendDataTo(
    int ASocket, const void* ABuffer, int32_t AFlags, int32_t ALength, const std::string& AIP, int32_t APort)
{
    sockaddr_storage Address;
    socklen_t Length = 0;
    if (ALength < 0 || !MakeAddress(*this, AddressFamily(AIP), AIP, false, APort, Address, Length))
        return Failed(EINVAL);
    return static_cast<int32_t>(Recorded(Restarting([&] {
        return ::sendto(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags | MSG_NOSIGNAL,
            reinterpret_cast<const sockaddr*>(&Address), Length);
    })));
}

int32_t TNetStackLinux::SetSocketOption(
    int ASocket, int32_t ALevel, int32_t AOption, const void* AValue, int32_t ALength)
{
    if (ALength < 0)
        return Failed(EINVAL);
    return Recorded(Restarting(
        [&] { return ::setsockopt(ASocket, ALevel, AOption, AValue, static_cast<socklen_t>(ALength)); }));
}

int TNetStackLinux::OpenSocket(int32_t AFamily, int32_t AType, int32_t AProtocol)
{
    // Close-on-exec: a program started by this one must not keep our connections open.
    return Recorded(Restarting([&] { return ::socket(AFamily, AType | SOCK_CLOEXEC, AProtocol); }));
}

int32_t TNetStackLinux::ShutdownSocket(int ASocket, int32_t AHow)
{
    return Recorded(Restarting([&] { return ::shutdown(ASocket, AHow); }));
}

std::string TNetStackLinux::SocketErrorText(int32_t ACode)
{
    if (ACode == NetErrHostNotFound)
        return FormatStr(RSSocketError, ACode, RSHostNotFound);
    return TNetStack::SocketErrorText(ACode);
}

void TNetStackLinux::PeerAddress(int ASocket, int32_t& AFamily, std::string& AIP, int32_t& APort)
{
    sockaddr_storage Address {};
    socklen_t Length = sizeof Address;
    CheckSocketResult(Recorded(::getpeername(ASocket, reinterpret_cast<sockaddr*>(&Address), &Length)));
    AFamily = Address.ss_family;
    ReadAddress(*this, Address, AIP, APort);
}

void TNetStackLinux::SocketAddress(int ASocket, int32_t& AFamily, std::string& AIP, int32_t& APort)
{
    sockaddr_storage Address {};
    socklen_t Length = sizeof Address;
    CheckSocketResult(Recorded(::getsockname(ASocket, reinterpret_cast<sockaddr*>(&Address), &Length)));
    AFamily = Address.ss_family;
    ReadAddress(*this, Address, AIP, APort);
}

int32_t TNetStackLinux::GetSocketOption(
    int ASocket, int32_t ALevel, int32_t AOption, void* AValue, int32_t& ALength)
{
    if (ALength < 0)
        return Failed(EINVAL);
    socklen_t Length = static_cast<socklen_t>(ALength);
    int Result
        = Recorded(Restarting([&] { return ::getsockopt(ASocket, ALevel, AOption, AValue, &Length); }));
    if (Result != -1)
        ALength = static_cast<int32_t>(Length);
    return Result;
}

std::string TNetStackLinux::AddressToString(const TNetAddressBytes& AAddress)
{
    std::string Text;
    AssignDottedQuad(Text, AAddress.data());
    return Text;
}

TNetAddressBytes TNetStackLinux::StringToAddressBytes(const std::string& AText)
{
    TNetAddressBytes Bytes {};
    std::string Rest = AText;
    for (uint8_t& Byte : Bytes)
        Byte = static_cast<uint8_t>(StrToInt(Fetch(Rest, ".")) & 0xFF);
    return Bytes;
}

int TNetSocketListLinux::Item(int32_t AIndex) const
{
    if (AIndex < 0 || AIndex >= FCount)
        throw ENetStackSetSizeExceeded(RSSetSizeExceeded);
    return FHandles[static_cast<size_t>(AIndex)];
}

void TNetSocketListLinux::Add(int AHandle)
{
    if (FCount >= MaxHandles)
        throw ENetStackSetSizeExceeded(RSSetSizeExceeded);
    FHandles[static_cast<size_t>(FCount++)] = AHandle;
}

void TNetSocketListLinux::Remove(int AHandle)
{
    for (int32_t I = 0; I < FCount; ++I) {
        if (FHandles[static_cast<size_t>(I)] == AHandle) {
            FHandles[static_cast<size_t>(I)] = FHandles[static_cast<size_t>(FCount - 1)];
            FHandles[static_cast<size_t>(FCount - 1)] = 0;
            --FCount;
            return;
        }
    }
}
