// Memory and speed of the web probe on a large download: a loopback server sends a 1 GiB body
// (made on the fly, never stored), once with a Content-Length and once until it closes, and one
// web check reads each. The process's peak resident memory is printed before and after; it
// must stay flat, far below the size of the body.
#include "monitors/Monitors.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t BodyBytes = int64_t(1) << 30;

double PeakMiB()
{
    rusage U {};
    getrusage(RUSAGE_SELF, &U);
    return static_cast<double>(U.ru_maxrss) / 1024.0; // ru_maxrss is in KiB here
}

void SendAll(int AFd, const char* AData, size_t ASize)
{
    while (ASize > 0) {
        ssize_t N = send(AFd, AData, ASize, MSG_NOSIGNAL);
        if (N <= 0)
            return;
        AData += N;
        ASize -= static_cast<size_t>(N);
    }
}

// Accepts one connection, reads the request head and answers with the body.
void Serve(int AListen, bool AWithLength)
{
    int C = accept4(AListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (C < 0)
        return;
    std::string Head;
    char Ch;
    while (Head.find("\r\n\r\n") == std::string::npos && recv(C, &Ch, 1, 0) == 1)
        Head += Ch;
    std::string Answer = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
    Answer += AWithLength ? "Content-Length: " + std::to_string(BodyBytes) + "\r\n\r\n"
                          : "Connection: close\r\n\r\n";
    SendAll(C, Answer.data(), Answer.size());
    std::vector<char> Piece(1 << 20);
    for (size_t I = 0; I < Piece.size(); ++I)
        Piece[I] = static_cast<char>('a' + I % 26);
    for (int64_t Sent = 0; Sent < BodyBytes; Sent += static_cast<int64_t>(Piece.size()))
        SendAll(C, Piece.data(), Piece.size());
    close(C);
}

void Run(const char* AName, bool AWithLength)
{
    int Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A {};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t L = sizeof A;
    if (bind(Listen, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || listen(Listen, 4) != 0
        || getsockname(Listen, reinterpret_cast<sockaddr*>(&A), &L) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    std::thread Server(Serve, Listen, AWithLength);
    TWebMonitor Monitor;
    Monitor.SetURL("http://127.0.0.1:" + std::to_string(ntohs(A.sin_port)) + "/big");
    auto Start = std::chrono::steady_clock::now();
    Monitor.ApplyResult(Monitor.Probe(), Now());
    double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    Server.join();
    close(Listen);
    std::printf("web check, 1 GiB %-14s %s  %6.2f s  %7.1f MiB/s  peak RSS %6.1f MiB%s%s\n", AName,
        Monitor.Status() == msOK ? "OK   " : "ERROR", Seconds, 1024.0 / Seconds, PeakMiB(),
        Monitor.LastError().empty() ? "" : "  ", Monitor.LastError().c_str());
}

} // namespace

int main()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("peak RSS before the checks %6.1f MiB\n", PeakMiB());
    Run("with length", true);
    Run("until close", false);
    return 0;
}
