#include "tools/MetricsFile.h"

#include "monitors/MonitorList.h"
#include "tools/CheckOutput.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

std::string WriteFileAtomically(const std::string& AFileName, const std::string& AText)
{
    // A collector is often pointed at a link; replacing the link would leave its target, the
    // file read, stale for good. A device or a FIFO is no file of metrics to replace.
    std::string Target;
    try {
        Target = FollowLinks(AFileName);
    } catch (const EInOutError& E) {
        return "cannot write " + AFileName + ": " + E.what();
    }
    struct stat Info { };
    if (::lstat(Target.c_str(), &Info) == 0 && !S_ISREG(Info.st_mode))
        return "cannot write " + AFileName + ": not a regular file";
    // Beside the file, so that the rename stays on one file system; a name that does not end
    // in the file's own suffix, so a collector that reads "*.prom" passes it over.
    std::string Temporary = Target + ".XXXXXX";
    const int Fd = ::mkstemp(Temporary.data());
    if (Fd < 0)
        return "cannot write " + AFileName + ": " + std::strerror(errno);
    // mkstemp makes the file for its owner alone; the collector may run as another user.
    const mode_t Mask = ::umask(0);
    ::umask(Mask);
    bool Ok = ::fchmod(Fd, 0666 & ~Mask) == 0 && WriteAll(Fd, AText) && ::fsync(Fd) == 0;
    int Error = errno;
    if (::close(Fd) != 0 && Ok) {
        Ok = false;
        Error = errno;
    }
    if (Ok && ::rename(Temporary.c_str(), Target.c_str()) != 0) {
        Ok = false;
        Error = errno;
    }
    if (Ok)
        return {};
    ::unlink(Temporary.c_str());
    return "cannot write " + AFileName + ": " + std::strerror(Error);
}

bool TMetricsFile::Write(const TMetricsSnapshot& ASnapshot)
{
    const std::string Wrong
        = WriteFileAtomically(FFileName, MetricsText(ASnapshot, TMetricsFormat::mfPrometheus));
    // Said once while it lasts, not at every pass of a watch.
    if (!Wrong.empty() && !FFailed)
        Complain(Wrong);
    FFailed = !Wrong.empty();
    return Wrong.empty();
}
