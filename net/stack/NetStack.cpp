#include "net/stack/NetStack.h"

#include "net/stack/NetStrings.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

TNetStack* GSocketStack = nullptr;
std::mutex GSocketStackLock;
int32_t GSocketStackUsers = 0;
std::atomic<bool> GSocketsStarted { false };
// GSocketStackClass and GSocketListClass are set to the platform classes where those are
// defined (NetStackLinux.cpp).

namespace {

struct TSocketErrorEntry {
    int32_t Code;
    const char* Text;
};

const TSocketErrorEntry SocketErrorTable[] = {
    { 10004, "Interrupted system call." },
    { 10009, "Bad file number." },
    { 10013, "Access denied." },
    { 10014, "Bad address." },
    { 10022, "Invalid argument." },
    { 10024, "Too many open files." },
    { 10035, "Operation would block. " },
    { 10036, "Operation now in progress." },
    { 10037, "Operation already in progress." },
    { 10038, "Socket operation on non-socket." },
    { 10039, "Destination address required." },
    { 10040, "Message too long." },
    { 10041, "Protocol wrong type for socket." },
    { 10042, "Bad protocol option." },
    { 10043, "Protocol not supported." },
    { 10044, "Socket type not supported." },
    { 10045, "Operation not supported on socket." },
    { 10046, "Protocol family not supported." },
    { 10047, "Address family not supported by protocol family." },
    { 10048, "Address already in use." },
    { 10049, "Cannot assign requested address." },
    { 10050, "Network is down." },
    { 10051, "Network is unreachable." },
    { 10052, "Net dropped connection or reset." },
    { 10053, "Software caused connection abort." },
    { 10054, "Connection reset by peer." },
    { 10055, "No buffer space available." },
    { 10056, "Socket is already connected." },
    { 10057, "Socket is not connected." },
    { 10058, "Cannot send or receive after socket is closed." },
    { 10059, "Too many references, cannot splice." },
    { 10060, "Connection timed out." },
    { 10061, "Connection refused." },
    { 10062, "Too many levels of symbolic links." },
    { 10063, "File name too long." },
    { 10064, "Host is down." },
    { 10065, "No route to host." },
    { 10066, "Directory not empty" },
};

} // namespace

void TNetSocketList::Clear()
{
    while (Count() > 0)
        Remove(Item(Count() - 1));
}

std::unique_ptr<TNetSocketList> TNetSocketList::CreateSocketList()
{
    return GSocketListClass();
}

TNetStack::~TNetStack() = default;

namespace {

const char* TableText(int32_t ACode)
{
    for (const TSocketErrorEntry& E : SocketErrorTable)
        if (E.Code == ACode)
            return E.Text;
    return "";
}

// Descriptors (the process's or the system's), and a socket's kernel memory.
constexpr int32_t NetErrTooManyFiles = 10024;
constexpr int32_t NetErrNoBuffers = 10055;

} // namespace

std::string ResourceShortage(const std::exception& AError)
{
    if (const auto* Socket = dynamic_cast<const ENetOutOfResources*>(&AError))
        return Socket->Cause;
    // Only descriptors here: a send may meet ENOBUFS on a path to the peer as well.
    if (const auto* Socket = dynamic_cast<const ENetSocketError*>(&AError))
        return Socket->ErrorCode == NetErrTooManyFiles ? TableText(NetErrTooManyFiles) : "";
    if (const auto* System = dynamic_cast<const std::system_error*>(&AError)) {
        // An eventfd, a pipe or a thread that could not be made.
        if (System->code().category() != std::generic_category()
            && System->code().category() != std::system_category())
            return {};
        switch (System->code().value()) {
        case EMFILE:
        case ENFILE:
            return TableText(NetErrTooManyFiles);
        case EAGAIN:
        case ENOMEM:
            return "Cannot start a thread: " + System->code().message() + ".";
        default:
            return {};
        }
    }
    if (dynamic_cast<const std::bad_alloc*>(&AError) != nullptr)
        return "Out of memory.";
    return {};
}

std::string TNetStack::SocketErrorText(int32_t ACode)
{
    const char* Text = "";
    for (const TSocketErrorEntry& E : SocketErrorTable) {
        if (E.Code == ACode) {
            Text = E.Text;
            break;
        }
    }
    return FormatStr(RSSocketError, ACode, Text);
}

std::unique_ptr<TNetStack> TNetStack::MakeStack()
{
    std::unique_ptr<TNetStack> Stack = GSocketStackClass();
    // The component count already serialises the usual caller; this lock keeps any other
    // caller from starting the sockets twice.
    static std::mutex StartLock;
    std::lock_guard<std::mutex> Guard(StartLock);
    if (!GSocketsStarted.load()) {
        if (Stack->StartupSockets() != 0)
            throw ENetStackInitializationFailed(RSStackInitializationFailed);
        GSocketsStarted.store(true);
    }
    return Stack;
}

bool TNetStack::CheckSocketResult(int32_t AResult)
{
    return CheckSocketResult(AResult, {});
}

bool TNetStack::CheckSocketResult(int32_t AResult, std::initializer_list<int32_t> AIgnore)
{
    if (AResult != -1)
        return false;
    int32_t Code = LastSocketError();
    LastError.store(Code);
    for (int32_t Ignored : AIgnore) {
        if (Ignored == Code)
            return true;
    }
    ThrowSocketError(Code);
}

void TNetStack::ThrowSocketError(int32_t ACode)
{
    throw ENetSocketError(ACode, SocketErrorText(ACode));
}

int TNetStack::NewSocketHandle(int32_t AType, int32_t AProtocol, int32_t AFamily)
{
    int Socket = OpenSocket(AFamily, AType, AProtocol);
    if (Socket < 0) {
        const int32_t Code = LastSocketError();
        if (Code == NetErrTooManyFiles || Code == NetErrNoBuffers)
            throw ENetOutOfResources(RSCannotAllocateSocket, TableText(Code));
        throw ENetInvalidSocket(RSCannotAllocateSocket);
    }
    return Socket;
}

std::string TNetStack::LookupHost(const std::string& AHost)
{
    if (SameText(AHost, "LOCALHOST"))
        return "127.0.0.1";
    if (IsDottedQuad(AHost) || IsIPv6Address(AHost))
        return AHost;
    return HostByName(AHost);
}

std::vector<TNetHostAddress> TNetStack::LookupHostAddresses(const std::string& AHost, int32_t ATimeout)
{
    // "localhost." is the same name written as an absolute one.
    if (SameText(AHost, "LOCALHOST") || SameText(AHost, "LOCALHOST."))
        return { { NetFamilyIPv4, "127.0.0.1" } };
    if (IsDottedQuad(AHost))
        return { { NetFamilyIPv4, AHost } };
    if (IsIPv6Address(AHost))
        return { { NetFamilyIPv6, AHost } };
    return HostAddresses(AHost, ATimeout);
}

bool TNetStack::IsIPv6Address(const std::string& AText)
{
    // The zone is a name or a number of the local system; only that it is there and sane is
    // checked here, the connect or send finds out whether it exists.
    const size_t Percent = AText.find('%');
    const std::string Address = AText.substr(0, Percent);
    if (Percent != std::string::npos) {
        const size_t ZoneLength = AText.size() - Percent - 1;
        if (ZoneLength == 0 || ZoneLength > 15)
            return false;
        for (size_t I = Percent + 1; I < AText.size(); ++I)
            if (static_cast<unsigned char>(AText[I]) <= 0x20 || AText[I] == '%' || AText[I] == '/')
                return false;
    }
    in6_addr Bytes;
    return inet_pton(AF_INET6, Address.c_str(), &Bytes) == 1 && Address.find('\0') == std::string::npos;
}

int32_t TNetStack::AddressFamily(const std::string& AIP)
{
    return AIP.find(':') == std::string::npos ? NetFamilyIPv4 : NetFamilyIPv6;
}

bool TNetStack::IsDottedQuad(const std::string& AText)
{
    std::string Rest = AText;
    for (int Part = 0; Part < 4; ++Part) {
        // The fourth part is whatever is left, dots included, so "1.2.3.4.5" fails there.
        std::string Text = Part < 3 ? Fetch(Rest, ".") : Rest;
        int32_t Value = 0;
        if (!TryStrToInt(Text, Value) || Value < 0 || Value > 255)
            return false;
    }
    return true;
}

uint32_t TNetStack::StringToAddress(const std::string& AText)
{
    TNetAddressBytes Bytes = StringToAddressBytes(AText);
    uint32_t Value = 0;
    std::memcpy(&Value, Bytes.data(), sizeof Value);
    return Value;
}
