// Throughput of the buffered connection on loopback, beside a plain recv loop over the same
// bytes in the same run: a 1 GiB body read with ReadToStream into a stream that keeps nothing,
// and 1,000,000 short lines read with ReceiveLine.
#include "net/tcp/NetTCPClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t BodyBytes = int64_t(1) << 30;
constexpr int LineCount = 1000000;
constexpr int Rounds = 3;

// A loopback listener whose every accepted connection gets the same bytes, then the close.
class TSender {
public:
    explicit TSender(std::function<void(int)> ASend)
        : FSend(std::move(ASend))
    {
        FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in A {};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t L = sizeof A;
        if (bind(FListen, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || listen(FListen, 4) != 0
            || getsockname(FListen, reinterpret_cast<sockaddr*>(&A), &L) != 0) {
            std::perror("listen");
            std::exit(1);
        }
        FPort = ntohs(A.sin_port);
    }
    ~TSender() { close(FListen); }
    int Port() const { return FPort; }
    // Serves one connection on a thread while AClient runs on this one.
    void Serve(const std::function<void()>& AClient)
    {
        std::thread T([this] {
            int C = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (C < 0)
                return;
            FSend(C);
            close(C);
        });
        AClient();
        T.join();
    }

private:
    std::function<void(int)> FSend;
    int FListen = -1;
    int FPort = 0;
};

void SendAll(int AFd, const char* AData, size_t ALength)
{
    while (ALength > 0) {
        ssize_t N = send(AFd, AData, ALength, MSG_NOSIGNAL);
        if (N <= 0)
            return;
        AData += N;
        ALength -= static_cast<size_t>(N);
    }
}

int PlainConnect(int APort)
{
    int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A {};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<uint16_t>(APort));
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return Fd;
}

// Bytes received by a plain recv loop into a buffer of ABufferSize until the close; ALines
// counts the LFs when given.
int64_t PlainReceive(int APort, size_t ABufferSize, int64_t* ALines)
{
    int Fd = PlainConnect(APort);
    std::vector<char> Buffer(ABufferSize);
    int64_t Total = 0;
    for (;;) {
        ssize_t N = recv(Fd, Buffer.data(), Buffer.size(), 0);
        if (N <= 0)
            break;
        Total += N;
        if (ALines) {
            const char* P = Buffer.data();
            const char* End = P + N;
            while ((P = static_cast<const char*>(std::memchr(P, '\n', static_cast<size_t>(End - P))))) {
                ++*ALines;
                ++P;
            }
        }
    }
    close(Fd);
    return Total;
}

double Seconds(std::chrono::steady_clock::time_point AStart)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - AStart).count();
}

void Report(const char* AName, int64_t ABytes, double ASeconds, const char* AExtra = "")
{
    std::printf(
        "%-44s %8.1f MiB/s  (%.3f s)%s\n", AName, double(ABytes) / ASeconds / (1 << 20), ASeconds, AExtra);
}

} // namespace

int main()
{
    // The body: 1 GiB sent in 1 MiB pieces.
    std::vector<char> Piece(1 << 20);
    for (size_t I = 0; I < Piece.size(); ++I)
        Piece[I] = static_cast<char>(I * 31);
    TSender Body([&](int Fd) {
        for (int64_t Sent = 0; Sent < BodyBytes; Sent += static_cast<int64_t>(Piece.size()))
            SendAll(Fd, Piece.data(), Piece.size());
    });

    // The lines: "line 0000001\r\n" and so on.
    std::string Lines;
    Lines.reserve(static_cast<size_t>(LineCount) * 16);
    char Line[32];
    for (int I = 0; I < LineCount; ++I) {
        int N = std::snprintf(Line, sizeof Line, "line %07d\r\n", I);
        Lines.append(Line, static_cast<size_t>(N));
    }
    TSender LineServer([&](int Fd) { SendAll(Fd, Lines.data(), Lines.size()); });

    std::printf("Loopback, best of %d rounds\n", Rounds);
    double BestPlain = 1e9, BestPlain64 = 1e9, BestStream = 1e9;
    for (int Round = 0; Round < Rounds; ++Round) {
        Body.Serve([&] {
            auto Start = std::chrono::steady_clock::now();
            if (PlainReceive(Body.Port(), 32768, nullptr) != BodyBytes)
                std::fprintf(stderr, "plain receive: short body\n");
            BestPlain = std::min(BestPlain, Seconds(Start));
        });
        Body.Serve([&] {
            auto Start = std::chrono::steady_clock::now();
            if (PlainReceive(Body.Port(), 262144, nullptr) != BodyBytes)
                std::fprintf(stderr, "plain receive: short body\n");
            BestPlain64 = std::min(BestPlain64, Seconds(Start));
        });
        Body.Serve([&] {
            TNetTCPClient Client;
            Client.SetHost("127.0.0.1");
            Client.SetPort(Body.Port());
            Client.ReadTimeout = 10000;
            auto Start = std::chrono::steady_clock::now();
            Client.Establish(10000);
            TNullStream Sink;
            Client.ReadToStream(Sink, -1, true);
            BestStream = std::min(BestStream, Seconds(Start));
            if (Sink.BytesWritten() != BodyBytes)
                std::fprintf(
                    stderr, "ReadToStream: %lld bytes\n", static_cast<long long>(Sink.BytesWritten()));
        });
    }
    std::printf("1 GiB body\n");
    Report("  plain recv loop, 32 KiB buffer", BodyBytes, BestPlain);
    Report("  plain recv loop, 256 KiB buffer", BodyBytes, BestPlain64);
    char Ratio[64];
    std::snprintf(Ratio, sizeof Ratio, "  %.2fx the 32 KiB recv loop's time", BestStream / BestPlain);
    Report("  ReadToStream until close into TNullStream", BodyBytes, BestStream, Ratio);

    double BestPlainLines = 1e9, BestLines = 1e9;
    const int64_t LineBytes = static_cast<int64_t>(Lines.size());
    for (int Round = 0; Round < Rounds; ++Round) {
        LineServer.Serve([&] {
            int64_t Count = 0;
            auto Start = std::chrono::steady_clock::now();
            PlainReceive(LineServer.Port(), 32768, &Count);
            BestPlainLines = std::min(BestPlainLines, Seconds(Start));
            if (Count != LineCount)
                std::fprintf(stderr, "plain receive: %lld lines\n", static_cast<long long>(Count));
        });
        LineServer.Serve([&] {
            TNetTCPClient Client;
            Client.SetHost("127.0.0.1");
            Client.SetPort(LineServer.Port());
            Client.ReadTimeout = 10000;
            int Count = 0;
            auto Start = std::chrono::steady_clock::now();
            Client.Establish(10000);
            try {
                for (;;) {
                    Client.ReceiveLine();
                    ++Count;
                }
            } catch (const ENetConnClosedGracefully&) {
            }
            BestLines = std::min(BestLines, Seconds(Start));
            if (Count != LineCount)
                std::fprintf(stderr, "ReceiveLine: %d lines\n", Count);
        });
    }
    std::printf("%d lines of %zu bytes\n", LineCount, Lines.size() / LineCount);
    std::snprintf(Ratio, sizeof Ratio, "  %.0f lines/s", LineCount / BestPlainLines);
    Report("  plain recv loop counting LFs", LineBytes, BestPlainLines, Ratio);
    std::snprintf(Ratio, sizeof Ratio, "  %.0f lines/s, %.2fx the recv loop's time", LineCount / BestLines,
        BestLines / BestPlainLines);
    Report("  ReceiveLine", LineBytes, BestLines, Ratio);
    return 0;
}
