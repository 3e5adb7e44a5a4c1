// A server on 127.0.0.1 that takes every connection and never answers: what a hung service
// looks like to a web check. It prints its port, then reads and drops what clients send and
// closes each connection when the client does, until it is killed. Not a benchmark of its
// own: scripts/bench points the silent monitors of its scale comparisons at it.
//
//   silent_server
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

int main()
{
    const int Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    if (Listen < 0 || bind(Listen, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0
        || listen(Listen, 4096) != 0
        || getsockname(Listen, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
        std::perror("silent_server");
        return 1;
    }
    std::printf("%d\n", ntohs(Address.sin_port));
    std::fflush(stdout);
    std::vector<pollfd> Fds { { Listen, POLLIN, 0 } };
    char Buffer[4096];
    for (;;) {
        if (poll(Fds.data(), Fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        for (size_t I = Fds.size(); I-- > 1;) {
            if (Fds[I].revents == 0)
                continue;
            if (recv(Fds[I].fd, Buffer, sizeof Buffer, 0) <= 0) {
                close(Fds[I].fd);
                Fds.erase(Fds.begin() + static_cast<long>(I));
            }
        }
        if (Fds[0].revents != 0) {
            const int Client = accept4(Listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (Client >= 0)
                Fds.push_back({ Client, POLLIN, 0 });
        }
    }
}
