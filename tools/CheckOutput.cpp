#include "tools/CheckOutput.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool WriteAll(int AFd, const std::string& AText)
{
    size_t Done = 0;
    while (Done < AText.size()) {
        const ssize_t Written = ::write(AFd, AText.data() + Done, AText.size() - Done);
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        Done += static_cast<size_t>(Written);
    }
    return true;
}

void Complain(const std::string& AText)
{
    (void)WriteAll(STDERR_FILENO, std::string(ProgramName) + ": " + AText + "\n");
}

bool WriteOutput(const std::string& ALine)
{
    if (WriteAll(STDOUT_FILENO, ALine))
        return true;
    const int Error = errno;
    if (Error != EPIPE)
        Complain(std::string("cannot write the output: ") + std::strerror(Error));
    return false;
}
