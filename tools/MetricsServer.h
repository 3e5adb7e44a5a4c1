// The /metrics endpoint of vardex-check --serve, on an HTTP server library.
//
// Threads and the rules that keep them safe:
// - The library's listening thread is owned here: Start starts it, Stop (and the destructor)
//   stops the server and joins it. The library's pool of request threads belongs to that
//   thread and is joined before it ends. No thread outlives this object.
// - The owner of the monitors (vardex-check's main loop) publishes a snapshot after every
//   change; a request takes the current one under FLock and renders it outside the lock, so a
//   scrape never waits for a check, and a check never waits for a scrape.
// - Threads start with the signal mask of the thread that calls Start, so SIGINT and SIGTERM,
//   blocked there, reach only the program's signal thread.
#pragma once

#include "tools/Metrics.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

// Where to listen: "PORT", ":PORT", "HOST:PORT" or "[IPv6]:PORT"; without a host, 127.0.0.1,
// so the metrics are not offered to the network unless asked for.
struct TListenAddress {
    std::string Host = "127.0.0.1";
    int Port = 0;
};

// Reads AText into AAddress; an empty text when it is sound, otherwise what is wrong.
std::string ParseListenAddress(const std::string& AText, TListenAddress& AAddress);

class TMetricsServer {
public:
    TMetricsServer();
    ~TMetricsServer();
    TMetricsServer(const TMetricsServer&) = delete;
    TMetricsServer& operator=(const TMetricsServer&) = delete;

    // Binds AAddress (port 0: any free one) and starts serving. An empty text on success,
    // otherwise why it could not listen.
    std::string Start(const TListenAddress& AAddress);
    // The port bound by Start.
    int Port() const { return FPort; }
    // Any thread: what the next scrapes show.
    void Publish(std::shared_ptr<const TMetricsSnapshot> ASnapshot);
    // Stops serving (a request in progress finishes) and joins every thread. Safe to repeat.
    void Stop();

private:
    std::shared_ptr<const TMetricsSnapshot> Current() const;

    std::unique_ptr<httplib::Server> FServer;
    std::thread FThread;
    int FPort = 0;
    mutable std::mutex FLock;
    std::shared_ptr<const TMetricsSnapshot> FSnapshot;
};
