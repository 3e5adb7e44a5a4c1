// The plain TCP transport: resolve, bind, connect (with an optional time-out carried out by a
// short-lived thread), wait for data, raw receive and send, close. The TLS transport derives
// from it and reuses all of this for the TCP layer.
#pragma once

#include "net/stack/NetSocketHandle.h"
#include "net/tcp/NetIOHandler.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr const char* RSConnectTimeout = "Connect timed out.";
inline constexpr const char* RSClosedSocket = "Disconnected.";
inline constexpr const char* RSSocksVersionNotSupported = "SOCKS version is not supported.";

enum class TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum class TSocksAuthentication { saNoAuthentication, saUsernamePassword };

// Settings of a SOCKS server to connect through. The defaults name none (svNoSocks), and no
// SOCKS negotiation is built in: only svNoSocks connects.
class TNetSocksInfo : public TNetComponent {
public:
    explicit TNetSocksInfo(TComponent* AOwner = nullptr);

    // Runs after the TCP connect with the real target: nothing for svNoSocks; any other
    // version raises ENetSocksError.
    void MakeSocksConnection(TNetIOHandler& AHandler, const std::string& AHost, int32_t APort);

    TSocksAuthentication Authentication = TSocksAuthentication::saNoAuthentication;
    std::string Host;
    std::string Password;
    int32_t Port = 1080;
    std::string Username;
    TSocksVersion Version = TSocksVersion::svNoSocks;
};

// Runs one connect of a socket handle on a thread of its own so that the caller can give up
// after a time-out while an anti-freeze pumps the main thread's messages (without one, the
// caller waits for the same connect on its own thread). The socket is connected without blocking and the
// thread waits in poll on the socket and on a cancellation descriptor: closing a socket under a blocking
// connect does not end that connect on Linux, so giving up is a signal the thread answers at once, and the
// thread is always joined before the socket is touched again.
class TNetConnectThread {
public:
    // ASocketHandle is borrowed and must hold an open socket with its peer set.
    explicit TNetConnectThread(TNetSocketHandle* ASocketHandle);
    // Cancels and joins a thread that still runs.
    ~TNetConnectThread();
    TNetConnectThread(const TNetConnectThread&) = delete;
    TNetConnectThread& operator=(const TNetConnectThread&) = delete;

    void Start();
    // Waits up to AMilliseconds (negative: without limit) for the connect to end; true when
    // it has ended, with success or failure.
    bool WaitFor(int32_t AMilliseconds);
    // Makes a connect that has not ended give up; the thread ends without a connection.
    void Cancel();
    // Waits for the thread to end (nothing when it was never started or already joined).
    void Join();
    bool Terminated();
    // After the thread has ended: the connect failed, ConnectError telling why.
    bool Failed() const { return FFailed; }

    TNetSocketHandle* SocketHandle;
    // The message of the exception that ended the connect; empty unless it failed.
    std::string ConnectError;

private:
    void Execute();

    std::thread FThread;
    std::mutex FLock;
    std::condition_variable FEnded;
    bool FTerminated = false;
    bool FFailed = false;
    int FCancelFd = -1;
    // The cancel token of the probe that started the connect; -1 when it has none.
    int FProbeCancelFd = -1;
};

class TNetIOHandlerSocket : public TNetIOHandler {
public:
    explicit TNetIOHandlerSocket(TComponent* AOwner = nullptr);
    ~TNetIOHandlerSocket() override;

    // Creates the socket handle on first use; later it forgets an open socket without closing
    // it (callers close first).
    void PrepareLink() override;
    // Shutdown for sending, then close; nothing when closed already.
    void CloseLink() override;
    bool LinkOpen() override;
    // Raises ENetConnClosedGracefully when no socket is open.
    bool CanRead(int32_t ATimeout) override;
    // Raise ENetClosedSocket ("Disconnected.") when the link is not open.
    int32_t ReadSome(void* ABuffer, int32_t ALength) override;
    int32_t WriteSome(const void* ABuffer, int32_t ALength) override;
    // A receive that does not wait; NetNothingToRead also when no socket is open, so that the
    // wait that follows reports that as it always has. A descendant whose ReadSome reads
    // other than from the socket overrides this too.
    int32_t TryReadSome(void* ABuffer, int32_t ALength) override;
    // A send that does not wait, under the same rules.
    int32_t TryWriteSome(const void* ABuffer, int32_t ALength) override;
    // Watches the calling thread's cancel token too (raising ENetCancelled).
    bool CanWrite(int32_t ATimeout) override;
    void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP, int32_t ABoundPort,
        int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout) override;
    // The connect of the open socket on a TNetConnectThread, given up after ATimeout ms (-2: no
    // limit). Raises ENetConnectException with the connect's error text, or, on time-out,
    // closes the link and raises ENetConnectTimeout ("Connect timed out."). Returns as soon as
    // the connect has ended.
    void ConnectWithTimeout(int32_t ATimeout);

    // nullptr before the first PrepareLink.
    TNetSocketHandle* SocketHandle() const { return FSocketHandle.get(); }
    // Created (without an owner) on first use when none is set.
    TNetSocksInfo* SocksInfo();
    // An assigned object without an owner belongs to the handler from then on; one with an
    // owner is only referred to and forgotten when it is destroyed.
    void SetSocksInfo(TNetSocksInfo* AValue);

    // False switches Nagle's algorithm off on connect.
    bool UseNagle = true;

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
    // The addresses of AHost to try, in the resolver's order (only those of ABoundIP's family
    // when it names one that AHost has), within ATimeout ms (-1: no limit).
    std::vector<TNetHostAddress> ResolveTarget(
        const std::string& AHost, const std::string& ABoundIP, int32_t ATimeout);
    // A fresh socket of AAddress's family, bound to the local end asked for, with its peer
    // set; says "Connecting to" it.
    void OpenSocketFor(const TNetHostAddress& AAddress, int32_t APort, const std::string& ABoundIP,
        int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax);

    std::unique_ptr<TNetSocketHandle> FSocketHandle;
    TNetSocksInfo* FSocksInfo = nullptr;
};
