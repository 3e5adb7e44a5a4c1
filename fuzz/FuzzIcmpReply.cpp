// The ICMP reply decoder, fed through the echo client's receive seam: a script of datagrams
// answers up to three Echo calls, on the raw socket's form (an IP header in front) or on the
// datagram socket's (the ICMP message alone). The clock moves only by the script.
//
// Byte 0: bit 0 the datagram socket's form. Then records, each: two bytes of length (least
// significant first, up to 1024), one byte of delay (in 8 ms steps) before the datagram
// arrives, then the datagram. Every "IDSQ" in a datagram becomes the identifier and the
// sequence the client expects (two bytes each, least significant first), which the raw
// socket takes from the process id.
#include "net/icmp/NetIcmpClient.h"
#include "net/stack/NetException.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

class TFuzzIcmpClient : public TNetIcmpClient {
public:
    TFuzzIcmpClient(const uint8_t* AData, size_t ASize, bool ABare)
        : FData(AData)
        , FSize(ASize)
        , FBare(ABare)
    {
        ReceiveTimeout = 1000;
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
        if (FOffset + 3 > FSize) {
            FClock += static_cast<uint32_t>(std::max(ATimeout, 0));
            return 0;
        }
        size_t Length = static_cast<size_t>(FData[FOffset] | (FData[FOffset + 1] & 0x07) << 8);
        const uint32_t Delay = FData[FOffset + 2] * 8u;
        FOffset += 3;
        Length = std::min({ Length, FSize - FOffset, static_cast<size_t>(BufferBytes) });
        // A wait that finds nothing returns the time-out's worth later, with nothing.
        if (Length == 0) {
            FClock += Delay;
            return 0;
        }
        std::memcpy(FRecvBuffer, FData + FOffset, Length);
        FOffset += Length;
        FClock += Delay;
        const uint16_t Id = Identifier();
        const uint8_t Stamp[4] = { static_cast<uint8_t>(Id), static_cast<uint8_t>(Id >> 8),
            static_cast<uint8_t>(FSequence), static_cast<uint8_t>(FSequence >> 8) };
        for (size_t I = 0; I + 4 <= Length; ++I)
            if (std::memcmp(FRecvBuffer + I, "IDSQ", 4) == 0)
                std::memcpy(FRecvBuffer + I, Stamp, 4);
        FDatagram = TDatagramInfo {};
        FDatagram.HasIPHeader = !FBare;
        const uint8_t Source[4] = { 127, 0, 0, 9 };
        std::memcpy(FDatagram.Source, Source, 4);
        FDatagram.TTL = 47;
        return static_cast<int32_t>(Length);
    }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FOffset = 0;
    bool FBare;
    uint32_t FClock = 0xFFFFF000u; // close to the wrap of the tick count
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    if (ASize == 0)
        return 0;
    TFuzzIcmpClient Client(AData + 1, ASize - 1, (AData[0] & 1) != 0);
    for (int I = 0; I < 3; ++I) {
        const uint16_t Sequence = Client.Sequence();
        try {
            Client.Echo("PingMonitor");
        } catch (const ENetIcmpException&) {
            // A datagram too short or of a foreign type: the exchange ends, the client stays.
            if (Client.Sequence() != Sequence)
                std::abort();
            continue;
        }
        const TReplyStatus& Status = Client.ReplyStatus();
        if (Status.Outcome == eoError || Status.ByteCount < 0
            || Status.ByteCount > TNetIcmpClient::BufferBytes || Status.SequenceNumber != Sequence
            || Client.Sequence() != static_cast<uint16_t>(Sequence + 1))
            std::abort();
        if (Status.Outcome == eoTimedOut && (Status.ByteCount != 0 || Status.SourceIP != "0.0.0.0"))
            std::abort();
    }
    return 0;
}
