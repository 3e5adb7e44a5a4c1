#include "engine/Descriptors.h"

#include <algorithm>
#include <dirent.h>
#include <sys/resource.h>

uint64_t RaiseDescriptorLimit()
{
    rlimit Limit {};
    if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0)
        return 1024;
    if (Limit.rlim_cur != Limit.rlim_max) {
        rlimit Raised = Limit;
        Raised.rlim_cur = Limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &Raised) == 0)
            Limit = Raised;
    }
    return Limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(Limit.rlim_cur);
}

size_t OpenDescriptors()
{
    // The folder's own descriptor is counted too, as one more that is open while it is read.
    DIR* Folder = ::opendir("/proc/self/fd");
    if (Folder == nullptr)
        return SpareDescriptors;
    size_t Count = 0;
    while (const dirent* Entry = ::readdir(Folder))
        if (Entry->d_name[0] != '.')
            ++Count;
    ::closedir(Folder);
    return Count;
}

size_t JobsThatFit(size_t AJobs, uint64_t ALimit, size_t AOpen, std::string& AMessage)
{
    AMessage.clear();
    const uint64_t Needed = uint64_t(AJobs) * DescriptorsPerCheck + AOpen + SpareDescriptors;
    if (Needed <= ALimit)
        return AJobs;
    const uint64_t Free = ALimit > AOpen + SpareDescriptors ? ALimit - AOpen - SpareDescriptors : 0;
    const size_t Jobs = static_cast<size_t>(std::max<uint64_t>(1, Free / DescriptorsPerCheck));
    AMessage = "--jobs " + std::to_string(AJobs) + " needs about " + std::to_string(Needed)
        + " open files, more than the limit of " + std::to_string(ALimit) + ": checking "
        + std::to_string(Jobs) + " at once";
    return Jobs;
}

size_t FitJobsToDescriptors(size_t AJobs, std::string& AMessage)
{
    const uint64_t Limit = RaiseDescriptorLimit();
    // The open descriptors are counted (a folder read) only where the jobs' needs come within
    // half of the limit: far below it, what a process inherits does not matter.
    if (uint64_t(AJobs) * DescriptorsPerCheck + SpareDescriptors <= Limit / 2) {
        AMessage.clear();
        return AJobs;
    }
    return JobsThatFit(AJobs, Limit, OpenDescriptors(), AMessage);
}
