// Not a benchmark of its own: the least a client can spend on a web probe. It fetches a page
// COUNT times, each over a fresh connection as a probe makes one (socket, connect, request,
// read to the end, close), with nothing else around it, and prints the processor time it
// took per fetch. scripts/bench sets the metrics role's figures beside it.
//
//   fetch_floor HOST PORT PATH COUNT
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: fetch_floor HOST PORT PATH COUNT\n");
        return 2;
    }
    sockaddr_in Server {};
    Server.sin_family = AF_INET;
    Server.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &Server.sin_addr) != 1) {
        std::fprintf(stderr, "fetch_floor: %s is not an IPv4 address\n", argv[1]);
        return 2;
    }
    const std::string Request
        = std::string("GET ") + argv[3] + " HTTP/1.1\r\nHost: " + argv[1] + "\r\nConnection: close\r\n\r\n";
    const int Count = std::atoi(argv[4]);
    int Fetched = 0;
    char Buffer[16384];
    for (int I = 0; I < Count; ++I) {
        const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (Fd < 0)
            break;
        if (::connect(Fd, reinterpret_cast<const sockaddr*>(&Server), sizeof Server) == 0
            && ::send(Fd, Request.data(), Request.size(), MSG_NOSIGNAL)
                == static_cast<ssize_t>(Request.size())) {
            ssize_t Got, Total = 0;
            while ((Got = ::recv(Fd, Buffer, sizeof Buffer, 0)) > 0)
                Total += Got;
            Fetched += Total > 0;
        }
        ::close(Fd);
    }
    rusage Usage {};
    getrusage(RUSAGE_SELF, &Usage);
    const double Seconds = static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec)
        + static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
    if (Fetched != Count) {
        std::fprintf(stderr, "fetch_floor: %d of %d fetches answered\n", Fetched, Count);
        return 1;
    }
    std::printf("%.4f\n", Count > 0 ? Seconds * 1000 / Count : 0.0);
    return 0;
}
