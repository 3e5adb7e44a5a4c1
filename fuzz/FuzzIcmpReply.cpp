// The ICMP reply decoder, fed through the echo client's receive seam: a script of datagrams
// answers up to three Echo calls, on the raw socket's form (an IP header in front) or on the
// datagram socket's (the ICMP message alone). The clock moves only by the script, and starts
// just before the wrap of the tick count.
//
// Byte 0: bit 0 the datagram socket's form; bit 1 ICMPv6 to fd00:19::9 (every ICMPv6 socket
// hands over the message alone, and the kernel has checked its sum). Then records, each: two bytes of length
// and flags (least significant first; the low 11 bits the length, up to 1024), one byte of delay (in 8 ms
// steps) before the datagram arrives, then the datagram. A datagram due no sooner than the wait ends is lost,
// as is one of length 0, and the wait runs out. Every "IDSQ" in a datagram becomes the identifier and the
// sequence the client expects (two bytes each, least significant first). Flag bits of the second length byte:
//   0x08  keep the ICMP checksum as given; otherwise it is made right after the stamping
//   0x10  on the datagram socket's form (and for ICMPv6), the datagram comes from another
//         host than the one pinged; on the raw form the IP header says who sent it
//
// What must hold after every Echo: nothing is raised; a time-out waited the whole
// ReceiveTimeout, no more and no less; an answer came within it, and an echo reply only from
// the host pinged, with the type of its family.
#include "net/icmp/NetIcmpClient.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int32_t Timeout = 1000;
const uint8_t Target[4] = { 127, 0, 0, 9 };
const uint8_t Elsewhere[4] = { 127, 0, 0, 8 };
const uint8_t Target6[16] = { 0xfd, 0, 0, 0x19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9 };
const uint8_t Elsewhere6[16] = { 0xfd, 0, 0, 0x19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8 };

// The checksum of the ICMP message at AData, written into its bytes 2-3.
void MakeChecksum(uint8_t* AData, size_t ASize)
{
    AData[2] = AData[3] = 0;
    uint32_t Sum = 0;
    for (size_t I = 0; I < ASize; I += 2)
        Sum += static_cast<uint32_t>(AData[I] | (I + 1 < ASize ? AData[I + 1] << 8 : 0));
    while (Sum >> 16)
        Sum = (Sum & 0xFFFF) + (Sum >> 16);
    AData[2] = static_cast<uint8_t>(~Sum);
    AData[3] = static_cast<uint8_t>(~Sum >> 8);
}

class TFuzzIcmpClient : public TNetIcmpClient {
public:
    TFuzzIcmpClient(const uint8_t* AData, size_t ASize, bool ABare, bool AIPv6)
        : FData(AData)
        , FSize(ASize)
        , FBare(ABare || AIPv6)
        , FIPv6(AIPv6)
    {
        ReceiveTimeout = Timeout;
        if (AIPv6)
            SetTarget(Target6);
        else
            SetTarget(Target);
        if (ABare) {
            FDatagramSocket = true;
            FSocketIdentifier = 0x3412;
        }
    }

protected:
    void SendEchoRequest() override { }
    uint32_t TickCount() override { return FClock; }
    int32_t ReceiveIntoBuffer(int32_t ATimeout) override
    {
        const uint32_t Wait = static_cast<uint32_t>(std::max(ATimeout, 0));
        if (FOffset + 3 > FSize) {
            FClock += Wait;
            return 0;
        }
        const uint8_t Flags = FData[FOffset + 1] & 0xF8;
        size_t Length = static_cast<size_t>(FData[FOffset] | (FData[FOffset + 1] & 0x07) << 8);
        const uint32_t Delay = FData[FOffset + 2] * 8u;
        FOffset += 3;
        Length = std::min({ Length, FSize - FOffset, static_cast<size_t>(BufferBytes) });
        const uint8_t* const Datagram = FData + FOffset;
        FOffset += Length;
        if (Length == 0 || Delay >= Wait) {
            FClock += Wait;
            return 0;
        }
        FClock += Delay;
        std::memcpy(FRecvBuffer, Datagram, Length);
        const uint16_t Id = Identifier();
        const uint8_t Stamp[4] = { static_cast<uint8_t>(Id), static_cast<uint8_t>(Id >> 8),
            static_cast<uint8_t>(FSequence), static_cast<uint8_t>(FSequence >> 8) };
        for (size_t I = 0; I + 4 <= Length; ++I)
            if (std::memcmp(FRecvBuffer + I, "IDSQ", 4) == 0)
                std::memcpy(FRecvBuffer + I, Stamp, 4);
        const size_t Header = FBare ? 0 : (FRecvBuffer[0] & 0x0F) * 4u;
        if (!(Flags & 0x08) && Header + 4 <= Length)
            MakeChecksum(FRecvBuffer + Header, Length - Header);
        FDatagram = TDatagramInfo {};
        FDatagram.HasIPHeader = !FBare;
        if (FIPv6)
            std::memcpy(FDatagram.Source, (Flags & 0x10) ? Elsewhere6 : Target6, 16);
        else
            std::memcpy(FDatagram.Source, (Flags & 0x10) ? Elsewhere : Target, 4);
        FDatagram.TTL = 47;
        return static_cast<int32_t>(Length);
    }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FOffset = 0;
    bool FBare;
    bool FIPv6;
    uint32_t FClock = 0xFFFFFC00u; // the first exchange's deadline lies past the wrap
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    if (ASize == 0)
        return 0;
    const bool IPv6 = (AData[0] & 2) != 0;
    TFuzzIcmpClient Client(AData + 1, ASize - 1, (AData[0] & 1) != 0, IPv6);
    for (int I = 0; I < 3; ++I) {
        const uint16_t Sequence = Client.Sequence();
        Client.Echo("PingMonitor");
        const TReplyStatus& Status = Client.ReplyStatus();
        if (Status.Outcome == eoError || Status.SequenceNumber != Sequence
            || Client.Sequence() != static_cast<uint16_t>(Sequence + 1))
            std::abort();
        if (Status.Outcome == eoTimedOut) {
            if (Status.ByteCount != 0 || Status.SourceIP != (IPv6 ? "::" : "0.0.0.0")
                || Status.RoundTripMs != Timeout)
                std::abort();
            continue;
        }
        if (Status.ByteCount < 8 || Status.ByteCount > TNetIcmpClient::BufferBytes
            || Status.RoundTripMs >= Timeout)
            std::abort();
        if (Status.Outcome == eoEchoReply
            && (Status.SourceIP != (IPv6 ? "fd00:19::9" : "127.0.0.9")
                || Status.IcmpType != (IPv6 ? 129 : 0)))
            std::abort();
        if (Status.Outcome == eoUnreachable && Status.IcmpType != (IPv6 ? 1 : 3))
            std::abort();
        if (Status.Outcome == eoTTLExpired && Status.IcmpType != (IPv6 ? 3 : 11))
            std::abort();
    }
    return 0;
}
