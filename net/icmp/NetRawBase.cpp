#include "net/icmp/NetRawBase.h"

#include <netinet/in.h>

TNetRawBase::TNetRawBase(TComponent* AOwner)
    : TNetComponent(AOwner)
    , FSocket(std::make_unique<TNetSocketHandle>())
{
}

TNetRawBase::~TNetRawBase()
{
    // The handle closes through the stack, which the component base frees after us.
    FSocket.reset();
}

void TNetRawBase::AllocateSocket(TNetSocketHandle& ASocket)
{
    ASocket.AllocateHandle(3, Protocol);
}

TNetSocketHandle& TNetRawBase::RawSocket()
{
    if (!FSocket->HasSocket) {
        AllocateSocket(*FSocket);
        FSocketTTL = -1;
    }
    // Put on the socket once, and again only when TTL has changed since: an exchange reads
    // this property at every send and receive, and the kernel keeps the value.
    const int32_t Value = TTL;
    if (Value == FSocketTTL)
        return *FSocket;
    // An IPv6 socket takes the hop limit at its own level; IP_TTL would be refused there.
    if (FSocket->Family == NetFamilyIPv6)
        FSocket->SetOption(IPPROTO_IPV6, IPV6_UNICAST_HOPS, &Value, sizeof Value);
    else
        FSocket->SetOption(IPPROTO_IP, IP_TTL, &Value, sizeof Value);
    FSocketTTL = Value;
    return *FSocket;
}

int32_t TNetRawBase::ReceiveDatagram(void* ABuffer, int32_t ASize, int32_t ATimeout)
{
    if (ASize <= 0 || !ABuffer)
        return 0;
    if (ATimeout < 0)
        ATimeout = ReceiveTimeout;
    TNetSocketHandle& Socket = RawSocket();
    if (!Socket.WaitReadable(ATimeout))
        return 0;
    return Socket.Receive(ABuffer, ASize, 0);
}

void TNetRawBase::SendDatagram(const std::string& AHost, int32_t APort, const void* ABuffer, int32_t ASize)
{
    const std::string Address = GSocketStack->LookupHost(AHost);
    RawSocket().SendTo(Address, APort, ABuffer, ASize);
}
