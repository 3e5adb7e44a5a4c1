#include "net/stack/NetSocketHandle.h"

#include "net/stack/NetStrings.h"

#include <atomic>

namespace {

// Set once by the first anti-freeze and never cleared: the functions themselves look at the
// anti-freeze in force, if any.
std::atomic<int32_t (*)()> GSliceLength { nullptr };
std::atomic<void (*)(bool, bool)> GYield { nullptr };

} // namespace

void SetNetWaitYield(const TNetWaitYield& AYield)
{
    GSliceLength.store(AYield.SliceLength);
    GYield.store(AYield.Yield);
}

TNetSocketHandle::TNetSocketHandle(TNetSocketHandles* ACollection)
    : FCollection(ACollection)
{
    ResetState(true);
    ClientPortMin = 0;
    ClientPortMax = 0;
    if (FCollection)
        Port = FCollection->DefaultPort;
}

TNetSocketHandle::~TNetSocketHandle()
{
    ShutAndClose(true);
}

void TNetSocketHandle::AllocateHandle(int32_t ASocketType, int32_t AProtocol, int32_t AFamily)
{
    ShutAndClose(true);
    if (HasSocket)
        ResetState(true);
    Handle = GSocketStack->NewSocketHandle(ASocketType, AProtocol, AFamily);
    HasSocket = true;
    Family = AFamily;
}

void TNetSocketHandle::ShutAndClose(bool AResetLocal)
{
    (void)AResetLocal;
    if (!HasSocket)
        return;
    HasSocket = false;
    GSocketStack->ShutdownSocket(Handle, 1);
    GSocketStack->CloseSocketHandle(Handle);
}

int32_t TNetSocketHandle::Connect(int32_t AFamily)
{
    int32_t Result = GSocketStack->ConnectSocket(Handle, AFamily == 0 ? Family : AFamily, PeerIP, PeerPort);
    if (Result != -1) {
        RefreshLocalAddress();
        RefreshPeerAddress();
    }
    return Result;
}

int32_t TNetSocketHandle::ReceiveFrom(
    void* ABuffer, int32_t ALength, int32_t AFlags, std::string& AIP, int32_t& APort)
{
    return GSocketStack->ReceiveDataFrom(Handle, ABuffer, ALength, AFlags, AIP, APort);
}

void TNetSocketHandle::Bind()
{
    if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
        if (!TryBindOnce())
            throw ENetCouldNotBindSocket(RSCouldNotBindSocket);
        return;
    }
    if (ClientPortMin > ClientPortMax)
        throw ENetInvalidPortRange(FormatStr(RSInvalidPortRange, ClientPortMin, ClientPortMax));
    if (!BindInPortRange())
        throw ENetCanNotBindPortInRange(FormatStr(RSCanNotBindInPortRange, ClientPortMin, ClientPortMax));
}

bool TNetSocketHandle::TryBindOnce()
{
    int32_t Result = GSocketStack->BindSocket(Handle, Family, IP, Port);
    if (GSocketStack->CheckSocketResult(Result, { NetErrAddressInUse }))
        return false;
    RefreshLocalAddress();
    return true;
}

bool TNetSocketHandle::BindInPortRange()
{
    for (int32_t P = ClientPortMax; P >= ClientPortMin; --P) {
        Port = P;
        if (TryBindOnce())
            return true;
    }
    return false;
}

void TNetSocketHandle::SetPeerAddress(const std::string& AIP, int32_t APort)
{
    PeerIP = AIP;
    PeerPort = APort;
}

TNetSocketHandle::TWaitResult TNetSocketHandle::WaitOnce(int32_t ATimeout)
{
    if (!HasSocket)
        throw ENetConnClosedGracefully(RSConnectionClosedGracefully);
    std::unique_ptr<TNetSocketList> ReadList = TNetSocketList::CreateSocketList();
    ReadList->Add(Handle);
    int32_t Ready = GSocketStack->SelectSockets(ReadList.get(), nullptr, nullptr, ATimeout);
    const bool Readable = Ready == 1;
    if (const auto Yield = GYield.load())
        Yield(!Readable, false);
    if (Readable)
        return TWaitResult::wrReadable;
    return Ready == -1 ? TWaitResult::wrFailed : TWaitResult::wrTimedOut;
}

bool TNetSocketHandle::WaitReadable(int32_t ATimeout)
{
    // With an anti-freeze in force the main thread waits in slices of its IdleTimeOut and lets
    // it pump between them. A long wait t becomes a first slice of t - k*I (0 < t - k*I <= I)
    // and then k slices of I.
    const auto SliceLength = GSliceLength.load();
    const int32_t Slice = SliceLength ? SliceLength() : 0;
    if (Slice <= 0 || (ATimeout != -2 && ATimeout <= Slice))
        return WaitOnce(ATimeout) == TWaitResult::wrReadable;
    if (ATimeout == -2) {
        for (;;) {
            TWaitResult Result = WaitOnce(Slice);
            if (Result == TWaitResult::wrReadable)
                return true;
            // A wait that fails at once would fail again; without this the loop would spin.
            if (Result == TWaitResult::wrFailed)
                return false;
        }
    }
    int32_t Slices = (ATimeout - 1) / Slice;
    if (WaitOnce(ATimeout - Slices * Slice) == TWaitResult::wrReadable)
        return true;
    for (; Slices > 0; --Slices) {
        if (WaitOnce(Slice) == TWaitResult::wrReadable)
            return true;
    }
    return false;
}

int32_t TNetSocketHandle::Receive(void* ABuffer, int32_t ALength, int32_t AFlags)
{
    return GSocketStack->ReceiveData(Handle, ABuffer, AFlags, ALength);
}

int32_t TNetSocketHandle::Send(const void* ABuffer, int32_t ALength, int32_t AFlags)
{
    return GSocketStack->SendData(Handle, ABuffer, AFlags, ALength);
}

void TNetSocketHandle::SendTo(const std::string& AIP, int32_t APort, const void* ABuffer, int32_t ALength)
{
    int32_t Sent = GSocketStack->SendDataTo(Handle, ABuffer, 0, ALength, AIP, APort);
    if (GSocketStack->CheckSocketResult(Sent, { NetErrMessageTooLong }))
        throw ENetPackageSizeTooBig(RSPackageSizeTooBig);
    if (Sent != ALength)
        throw ENetNotAllBytesSent(RSNotAllBytesSent);
}

void TNetSocketHandle::SetOption(int32_t ALevel, int32_t AOption, const void* AValue, int32_t ALength)
{
    GSocketStack->CheckSocketResult(GSocketStack->SetSocketOption(Handle, ALevel, AOption, AValue, ALength));
}

bool TNetSocketHandle::AcceptFrom(int AListeningSocket)
{
    ResetState(true);
    int Accepted = GSocketStack->AcceptConnection(AListeningSocket, IP, Port);
    if (GSocketStack->CheckSocketResult(Accepted, { NetErrInterrupted, NetErrNotSocket }))
        return false;
    Handle = Accepted;
    HasSocket = true;
    RefreshLocalAddress();
    RefreshPeerAddress();
    return true;
}

void TNetSocketHandle::ResetState(bool AResetLocal)
{
    HasSocket = false;
    Handle = -1;
    if (AResetLocal) {
        IP.clear();
        Port = 0;
    }
    PeerIP.clear();
    PeerPort = 0;
}

void TNetSocketHandle::RefreshLocalAddress()
{
    GSocketStack->SocketAddress(Handle, Family, IP, Port);
}

void TNetSocketHandle::RefreshPeerAddress()
{
    int32_t PeerFamily = 0;
    GSocketStack->PeerAddress(Handle, PeerFamily, PeerIP, PeerPort);
}

void TNetSocketHandle::Assign(const TNetSocketHandle& ASource)
{
    IP = ASource.IP;
    Port = ASource.Port;
    PeerIP = ASource.PeerIP;
    PeerPort = ASource.PeerPort;
    Family = ASource.Family;
}
