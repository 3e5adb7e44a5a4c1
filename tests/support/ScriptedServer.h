// A scripted peer for the connection tests: a thread that listens on 127.0.0.1 (port 0),
// accepts a given number of connections and runs a script on each, made of plain POSIX calls.
// Every wait of a script is bounded and also ends when the server is destroyed, so a failed
// test never hangs on its peer. THttpTestServer is one such script: a fixed HTTP answer.
#pragma once

#include "support/Net.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/eventfd.h>
#include <thread>

namespace nettest {

class TScriptedServer {
public:
    // AScript(fd, index) runs on each accepted connection, which is closed after it returns.
    using TScript = std::function<void(TScriptedServer& AServer, int AFd, int AIndex)>;

    explicit TScriptedServer(TScript AScript, int AConnections = 1)
        : TScriptedServer(Listener(), std::move(AScript), AConnections)
    {
    }
    // The same on a listening socket of the caller's (an IPv6 one, say).
    TScriptedServer(TFd AListen, TScript AScript, int AConnections = 1);
    ~TScriptedServer() { Close(); }
    TScriptedServer(const TScriptedServer&) = delete;
    TScriptedServer& operator=(const TScriptedServer&) = delete;

    int Port() const { return FPort; }
    // Ends every wait of the scripts.
    void Stop()
    {
        const uint64_t One = 1;
        (void)!write(FStop.Get(), &One, sizeof One);
    }
    // Stops, waits for the script and closes the listening socket, so later connections are
    // refused as by a server that went away.
    void Close();
    bool Stopped()
    {
        pollfd P { FStop.Get(), POLLIN, 0 };
        return poll(&P, 1, 0) == 1;
    }

    // Waits until AFd is readable; false on time-out, or when the server is stopping and AFd
    // has nothing more (what has arrived is still read).
    bool WaitReadable(int AFd, int AMilliseconds);
    // A request's head: everything up to its empty line (or 5 s of silence).
    std::string ReadRequest(int AFd);
    // Sleeps AMilliseconds unless the server stops first.
    void Pause(int AMilliseconds)
    {
        pollfd P { FStop.Get(), POLLIN, 0 };
        poll(&P, 1, AMilliseconds);
    }
    static void SendAll(int AFd, std::string_view AData);
    // Everything until the peer closes (or AMilliseconds of silence); also counts the reads.
    std::string ReadUntilClose(int AFd, int AMilliseconds = 5000, int* AReads = nullptr);
    // Waits until the peer closes its end (or the time runs out).
    void WaitForPeerClose(int AFd, int AMilliseconds = 5000) { ReadUntilClose(AFd, AMilliseconds); }
    // Resets the connection instead of closing it in order.
    static void Abort(int AFd)
    {
        linger L { 1, 0 };
        setsockopt(AFd, SOL_SOCKET, SO_LINGER, &L, sizeof L);
    }

private:
    TFd FListen;
    TFd FStop;
    TScript FScript;
    int FPort = 0;
    std::thread FThread;
};

// An HTTP server on 127.0.0.1 that answers every GET with one fixed status, or, when silent,
// takes the connection and says nothing until it is stopped. Stop closes the listening
// socket, so later connections are refused as by a server that went away.
class THttpTestServer {
public:
    explicit THttpTestServer(int AStatus, bool ASilent = false);

    int Port() const { return FServer.Port(); }
    std::string Url(const std::string& APath = "/") const
    {
        return "http://127.0.0.1:" + std::to_string(Port()) + APath;
    }
    int Requests() const { return FRequests; }
    // The request line of the last request.
    std::string LastRequestLine() const
    {
        std::lock_guard<std::mutex> Lock(FMutex);
        return FLastLine;
    }
    void Stop() { FServer.Close(); }

private:
    std::atomic<int> FRequests { 0 };
    mutable std::mutex FMutex;
    std::string FLastLine;
    // Last, so its thread ends before the fields above go.
    TScriptedServer FServer;
};

// The threads of this process.
int ThreadCount();

// The thread count once it has come down to at most AExpected (a joined thread may linger in
// the task list for a moment after the join returns), or the last count seen after 1 s.
int ThreadCountSettled(int AExpected);

} // namespace nettest
