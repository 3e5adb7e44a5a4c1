// The HTTP response path: status lines, header lines, cookies, status decisions and the three
// body framings (length, chunked, until the close), fed through an in-memory transport that
// plays the input as the server's bytes. Nothing waits: a read that finds no byte left is a
// read time-out at once (or the server's close, by the first byte).
//
// Byte 0 chooses the variant:
//   bits 0-1  size of the transport's pieces: as much as asked, 1, 7 or 4096 bytes
//   bit 2     the end of the input is silence (a time-out) instead of the server's close
//   bit 3     follow redirects
//   bit 4     a second GET on the same client (a kept connection, or a new one)
//   bit 5     the body into a memory stream (GetText) instead of one that keeps nothing
//   bit 6     HTTP/1.0 requests
// The rest is the server's side of every connection, one after the other.
#include "net/http/NetHTTP.h"
#include "net/stack/NetClasses.h"
#include "net/stack/NetException.h"
#include "net/tcp/NetIOHandlerSocket.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

class TFuzzTransport : public TNetIOHandler {
public:
    TFuzzTransport(const uint8_t* AData, size_t ASize, size_t APiece, bool ASilentAtEnd)
        : FData(AData)
        , FSize(ASize)
        , FPiece(APiece)
        , FSilentAtEnd(ASilentAtEnd)
    {
    }
    ~TFuzzTransport() override { TFuzzTransport::CloseLink(); }

    void PrepareLink() override { }
    void ConnectTo(
        const std::string&, int32_t, const std::string&, int32_t, int32_t, int32_t, int32_t) override
    {
        // Redirects and retries each connect again; a few are enough to reach every path.
        if (++FConnects > 4)
            throw ENetConnectException("Connection refused");
        FOpen = true;
    }
    void CloseLink() override { FOpen = false; }
    bool LinkOpen() override { return FOpen; }
    bool CanRead(int32_t) override { return FOffset < FSize || !FSilentAtEnd; }
    int32_t ReadSome(void* ABuffer, int32_t ALength) override
    {
        if (!FOpen)
            throw ENetClosedSocket(RSClosedSocket);
        size_t N = std::min(static_cast<size_t>(std::max(ALength, 0)), FSize - FOffset);
        if (FPiece > 0)
            N = std::min(N, FPiece);
        std::memcpy(ABuffer, FData + FOffset, N);
        FOffset += N;
        return static_cast<int32_t>(N);
    }
    int32_t WriteSome(const void*, int32_t ALength) override { return ALength; }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FOffset = 0;
    size_t FPiece;
    bool FSilentAtEnd;
    bool FOpen = false;
    int FConnects = 0;
};

// A body can never be longer than everything the server sent.
void CheckBodySize(int64_t ABody, size_t AServed)
{
    if (ABody < 0 || static_cast<uint64_t>(ABody) > AServed)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    if (ASize == 0)
        return 0;
    const uint8_t Flags = AData[0];
    static const size_t Pieces[] = { 0, 1, 7, 4096 };
    TFuzzTransport Transport(AData + 1, ASize - 1, Pieces[Flags & 3], (Flags & 4) != 0);
    TNetHTTP HTTP;
    HTTP.SetIOHandler(&Transport);
    HTTP.ReadTimeout = 1;
    HTTP.HandleRedirects = (Flags & 8) != 0;
    if (Flags & 64)
        HTTP.ProtocolVersion = pv1_0;

    const int Exchanges = (Flags & 16) ? 2 : 1;
    for (int I = 0; I < Exchanges; ++I) {
        try {
            if (Flags & 32) {
                CheckBodySize(static_cast<int64_t>(HTTP.GetText("http://localhost/a/b?x=1").size()), ASize);
            } else {
                TNullStream Body;
                HTTP.GetToStream("http://localhost:8080/", Body);
                CheckBodySize(Body.BytesWritten(), ASize);
            }
        } catch (const std::exception&) {
            // Refused statuses, time-outs, closes and malformed numbers all end here, as in
            // the web probe.
        }
    }
    HTTP.SetIOHandler(nullptr);
    return 0;
}
