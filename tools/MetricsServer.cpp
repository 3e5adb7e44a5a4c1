#include "tools/MetricsServer.h"

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// Enough for a scraper and someone looking by hand; a request holds a thread only briefly.
constexpr size_t RequestThreads = 4;

bool PortText(const std::string& AText, int& APort)
{
    if (AText.empty() || AText.size() > 5 || AText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    APort = std::stoi(AText);
    return APort <= 65535;
}

} // namespace

std::string ParseListenAddress(const std::string& AText, TListenAddress& AAddress)
{
    TListenAddress Address;
    std::string PortPart = AText;
    const size_t Colon = AText.rfind(':');
    if (Colon != std::string::npos) {
        std::string Host = AText.substr(0, Colon);
        PortPart = AText.substr(Colon + 1);
        if (Host.size() >= 2 && Host.front() == '[' && Host.back() == ']')
            Host = Host.substr(1, Host.size() - 2);
        else if (Host.find(':') != std::string::npos)
            return "--serve needs HOST:PORT with an IPv6 address in brackets, not '" + AText + "'";
        if (!Host.empty())
            Address.Host = Host;
    }
    if (!PortText(PortPart, Address.Port))
        return "--serve needs [HOST:]PORT with a port from 0 to 65535, not '" + AText + "'";
    AAddress = Address;
    return {};
}

TMetricsServer::TMetricsServer()
    : FServer(std::make_unique<httplib::Server>())
    , FSnapshot(std::make_shared<TMetricsSnapshot>())
{
    FServer->new_task_queue = [] { return new httplib::ThreadPool(RequestThreads); };
    // A scraper that goes quiet must not keep a thread, nor hold up the end of the program
    // for long: the server notices a stop between requests of a kept-alive connection.
    FServer->set_keep_alive_timeout(2);
    FServer->set_read_timeout(5);
    FServer->set_write_timeout(5);
    FServer->set_payload_max_length(64 * 1024);
    FServer->Get("/metrics", [this](const httplib::Request& ARequest, httplib::Response& AResponse) {
        const TMetricsFormat Format = MetricsFormatFor(ARequest.get_header_value("Accept"));
        AResponse.set_content(MetricsText(*Current(), Format), MetricsContentType(Format));
    });
}

TMetricsServer::~TMetricsServer()
{
    Stop();
}

std::string TMetricsServer::Start(const TListenAddress& AAddress)
{
    errno = 0;
    if (AAddress.Port == 0) {
        FPort = FServer->bind_to_any_port(AAddress.Host);
        if (FPort <= 0)
            FPort = 0;
    } else if (FServer->bind_to_port(AAddress.Host, AAddress.Port)) {
        FPort = AAddress.Port;
    }
    if (FPort == 0) {
        const int Error = errno;
        std::string Why = "cannot listen on " + AAddress.Host + ":" + std::to_string(AAddress.Port);
        return Error != 0 ? Why + ": " + std::strerror(Error) : Why;
    }
    FThread = std::thread([this] { FServer->listen_after_bind(); });
    // Stop only reaches a server that runs: wait until it does (or has given up already).
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!FServer->is_running() && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return {};
}

void TMetricsServer::Publish(std::shared_ptr<const TMetricsSnapshot> ASnapshot)
{
    std::lock_guard<std::mutex> Guard(FLock);
    FSnapshot = std::move(ASnapshot);
}

std::shared_ptr<const TMetricsSnapshot> TMetricsServer::Current() const
{
    std::lock_guard<std::mutex> Guard(FLock);
    return FSnapshot;
}

void TMetricsServer::Stop()
{
    if (!FThread.joinable())
        return;
    FServer->stop();
    FThread.join();
}
