#include "support/ScriptedServer.h"

namespace nettest {

int ThreadCount()
{
    int Count = 0;
    if (DIR* D = opendir("/proc/self/task")) {
        while (dirent* E = readdir(D)) {
            if (E->d_name[0] != '.')
                ++Count;
        }
        closedir(D);
    }
    return Count;
}

int ThreadCountSettled(int AExpected)
{
    int Count = ThreadCount();
    for (int I = 0; I < 100 && Count > AExpected; ++I) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Count = ThreadCount();
    }
    return Count;
}

TScriptedServer::TScriptedServer(TFd AListen, TScript AScript, int AConnections)
    : FListen(std::move(AListen))
    , FStop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , FScript(std::move(AScript))
{
    FPort = LocalPort(FListen.Get());
    FThread = std::thread([this, AConnections] {
        for (int I = 0; I < AConnections; ++I) {
            if (!WaitReadable(FListen.Get(), 60000))
                return;
            TFd Conn(accept4(FListen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (Conn.Get() < 0)
                return;
            FScript(*this, Conn.Get(), I);
        }
    });
}

void TScriptedServer::Close()
{
    if (!FThread.joinable())
        return;
    Stop();
    FThread.join();
    FListen.Reset();
}

bool TScriptedServer::WaitReadable(int AFd, int AMilliseconds)
{
    pollfd P[2] = { { AFd, POLLIN, 0 }, { FStop.Get(), POLLIN, 0 } };
    for (;;) {
        int R = poll(P, 2, AMilliseconds);
        if (R < 0 && errno == EINTR)
            continue;
        return R > 0 && P[0].revents != 0;
    }
}

std::string TScriptedServer::ReadRequest(int AFd)
{
    std::string Request;
    char Buffer[4096];
    while (Request.find("\r\n\r\n") == std::string::npos && WaitReadable(AFd, 5000)) {
        const ssize_t N = recv(AFd, Buffer, sizeof Buffer, 0);
        if (N <= 0)
            break;
        Request.append(Buffer, static_cast<size_t>(N));
    }
    return Request;
}

void TScriptedServer::SendAll(int AFd, std::string_view AData)
{
    while (!AData.empty()) {
        ssize_t N = send(AFd, AData.data(), AData.size(), MSG_NOSIGNAL);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            return;
        AData.remove_prefix(static_cast<size_t>(N));
    }
}

std::string TScriptedServer::ReadUntilClose(int AFd, int AMilliseconds, int* AReads)
{
    std::string Text;
    char Buffer[65536];
    while (WaitReadable(AFd, AMilliseconds)) {
        ssize_t N = recv(AFd, Buffer, sizeof Buffer, 0);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            break;
        if (AReads)
            ++*AReads;
        Text.append(Buffer, static_cast<size_t>(N));
    }
    return Text;
}

THttpTestServer::THttpTestServer(int AStatus, bool ASilent)
    // Bounded: a test never needs more than a few hundred connections.
    : FServer(
        [this, AStatus, ASilent](TScriptedServer& AServer, int AFd, int) {
            const std::string Request = AServer.ReadRequest(AFd);
            {
                std::lock_guard<std::mutex> Lock(FMutex);
                FLastLine = Request.substr(0, Request.find("\r\n"));
            }
            ++FRequests;
            if (ASilent) {
                AServer.Pause(60000);
                return;
            }
            const std::string Body = "status " + std::to_string(AStatus) + "\n";
            TScriptedServer::SendAll(AFd,
                "HTTP/1.1 " + std::to_string(AStatus) + (AStatus < 300 ? " OK" : " Failed")
                    + "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(Body.size())
                    + "\r\nConnection: close\r\n\r\n" + Body);
        },
        1000)
{
}

} // namespace nettest
