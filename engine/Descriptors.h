// Open files for the checks. A check holds a few descriptors while it runs (its worker's
// cancel token, its socket, the connect's wake-up descriptor, a name lookup or a certificate
// file for a moment), so the number of checks that may run at once is bounded by the
// process's open-file limit, whose usual soft value (1024) is far below what the kernel
// allows it to raise itself to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Descriptors one running check may hold at once.
inline constexpr size_t DescriptorsPerCheck = 4;
// Descriptors kept for everything else the program opens after start (the history file and
// its journal, the metrics server's clients, the files of the window's toolkit).
inline constexpr size_t SpareDescriptors = 64;

// Raises the soft open-file limit to the hard one (as far as the kernel takes it) and returns
// the soft limit now in force.
uint64_t RaiseDescriptorLimit();

// Descriptors open in this process now.
size_t OpenDescriptors();

// The most checks of AJobs that fit in ALimit descriptors when AOpen are open already (at
// least 1). When fewer than AJobs fit, AMessage says so (without the program's name):
//   --jobs 1024 needs about 4160 open files, more than the limit of 1024: checking 238 at once
size_t JobsThatFit(size_t AJobs, uint64_t ALimit, size_t AOpen, std::string& AMessage);

// The three above at start: the limit raised, then AJobs fitted into it.
size_t FitJobsToDescriptors(size_t AJobs, std::string& AMessage);
