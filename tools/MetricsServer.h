// The HTTP endpoint of vardex-check --serve: /metrics for Prometheus and the status page at /.
//
// One thread serves every connection from one poll loop on non-blocking sockets, so no client
// can hold anything but its own connection: a client that connects and says nothing, or
// trickles its request a byte at a time, costs one descriptor until its deadline, and a scrape
// that arrives meanwhile is read, rendered and written at once.
//
// What a client can take, and for how long:
// - at most MaxConnections connections (fewer under a low open-file limit, so the checks keep
//   the descriptors they need); a new connection at the cap closes the one that has waited
//   longest for its request, so a scraper always gets in;
// - HeaderTimeout for a request's head from its first byte (and from the connect), KeepAliveIdle
//   between requests, MaxRequests requests a connection, WriteTimeout for a response;
// - a request head of at most MaxHeadBytes, read as RequestHead.h says; no request bodies.
//
// Threads and the rules that keep them safe:
// - The serving thread is owned here: Start starts it, Stop (and the destructor) wakes it
//   through an eventfd and joins it at once, whatever the clients are doing. It closes every
//   socket it holds on its way out.
// - The owner of the monitors publishes a snapshot after every change; a request takes the
//   current one under FLock and renders it outside the lock, so a scrape never waits for a
//   check, and a check never waits for a scrape.
// - The thread starts with the signal mask of the thread that calls Start, so SIGINT and
//   SIGTERM, blocked there, reach only the program's signal thread.
#pragma once

#include "tools/Metrics.h"
#include "tools/RequestHead.h"

#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Where to listen: "PORT", ":PORT", "HOST:PORT" or "[IPv6]:PORT"; without a host, 127.0.0.1,
// so the metrics are not offered to the network unless asked for.
struct TListenAddress {
    std::string Host = "127.0.0.1";
    int Port = 0;
};

// Reads AText into AAddress; an empty text when it is sound, otherwise what is wrong.
std::string ParseListenAddress(const std::string& AText, TListenAddress& AAddress);

struct TServerLimits {
    size_t MaxConnections = 32;
    std::chrono::milliseconds HeaderTimeout { 2000 };
    std::chrono::milliseconds KeepAliveIdle { 10000 };
    std::chrono::milliseconds WriteTimeout { 10000 };
    size_t MaxRequests = 100;
    size_t MaxHeadBytes = 8192;
};

class TMetricsServer {
public:
    explicit TMetricsServer(TServerLimits ALimits = {});
    ~TMetricsServer();
    TMetricsServer(const TMetricsServer&) = delete;
    TMetricsServer& operator=(const TMetricsServer&) = delete;

    // Binds AAddress (port 0: any free one) and starts serving. An empty text on success,
    // otherwise why it could not listen. The port is never shared with another process: a
    // port in use is refused.
    std::string Start(const TListenAddress& AAddress);
    // The port bound by Start.
    int Port() const { return FPort; }
    // The most connections served at once, after the open-file limit had its say.
    size_t MaxConnections() const { return FLimits.MaxConnections; }
    // Any thread: what the next scrapes show.
    void Publish(std::shared_ptr<const TMetricsSnapshot> ASnapshot);
    // Stops serving, closes every connection and joins the thread. Safe to repeat.
    void Stop();

private:
    struct TConnection;
    using TConnections = std::list<TConnection>;
    using TTime = std::chrono::steady_clock::time_point;

    // The serving thread's poll loop.
    void Serve();
    // Moves a connection on: answers the request its buffer holds, writes what it can.
    // False when the connection is done with.
    bool Advance(TConnection& AConnection) const;
    // What the poll found (AEvents) done on a connection: false when it is done with, or past
    // its deadline at ANow.
    bool Step(TConnection& AConnection, short AEvents, TTime ANow) const;
    // Takes the connections that wait on the listening socket; sets AAcceptPaused when the
    // descriptors ran out.
    void Accept(TConnections& AConnections, TTime ANow, TTime& AAcceptPaused) const;
    // Closes AWhich and forgets it; the connection after it.
    static TConnections::iterator Drop(TConnections& AConnections, TConnections::iterator AWhich);
    // The response to one sound request head; sets AClose when the connection ends after it.
    std::string Respond(const TRequestHead& AHead, bool& AClose) const;
    std::shared_ptr<const TMetricsSnapshot> Current() const;

    TServerLimits FLimits;
    int FListenFd = -1;
    int FWakeFd = -1;
    std::thread FThread;
    int FPort = 0;
    mutable std::mutex FLock;
    std::shared_ptr<const TMetricsSnapshot> FSnapshot;
};
