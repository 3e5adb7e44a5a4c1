// Runs two programs in turn (A, B, A, B, ...) and compares them: the median wall time of each
// whole process (start-up, work and exit), the ratio of the medians, and the peak resident
// memory of each. scripts/bench drives it; it is not a benchmark of its own.
//
//   side_by_side [options] -- A-PROGRAM [ARGS...] ::: B-PROGRAM [ARGS...]
//     --label TEXT       what is compared, printed first
//     --names A,B        short names of the two programs (default: their file names)
//     --rounds N         timed rounds of each (default 21), after --warmup untimed ones (3)
//     --bytes N          both transfer N bytes: print the throughput and compare that
//     --max-ratio R      the target: A's median at most R times B's (without --bytes; with
//                        --cpu, of the processor time)
//     --cpu              also compare the processor time (user + system) of each run
//     --min-throughput R the target with --bytes: A's throughput at least R times B's
//     --max-rss-mib M    a target on A's peak resident memory
//     --statuses SA,SB   the exit statuses A and B must give (default 0,0), for runs whose
//                        work includes failures (monitors of silent servers)
//
// A run that exits with another status than its expected one, or is killed, stops the
// comparison with status 1: a failed check must not be timed as a fast one. A missed target is printed, and
// does not change the exit status.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct TRun {
    double Ms = 0;
    double CpuMs = 0;
    long MaxRssKiB = 0;
};

struct TProgram {
    std::string Name;
    std::vector<std::string> Argv;
    int Status = 0;
    std::vector<double> Times;
    std::vector<double> CpuTimes;
    long PeakKiB = 0;
};

[[noreturn]] void Fail(const std::string& AText)
{
    std::fprintf(stderr, "side_by_side: %s\n", AText.c_str());
    std::exit(2);
}

// One run with its output thrown away; false when it did not exit with status 0.
bool RunOnce(const TProgram& AProgram, TRun& ARun)
{
    std::vector<char*> Argv;
    for (const std::string& A : AProgram.Argv)
        Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    const auto Start = std::chrono::steady_clock::now();
    const pid_t Child = fork();
    if (Child < 0)
        Fail(std::string("fork: ") + std::strerror(errno));
    if (Child == 0) {
        const int Null = open("/dev/null", O_RDWR);
        dup2(Null, STDIN_FILENO);
        dup2(Null, STDOUT_FILENO);
        dup2(Null, STDERR_FILENO);
        execvp(Argv[0], Argv.data());
        _exit(127);
    }
    int Status = 0;
    rusage Usage {};
    while (wait4(Child, &Status, 0, &Usage) < 0) {
        if (errno != EINTR)
            Fail(std::string("wait4: ") + std::strerror(errno));
    }
    ARun.Ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    ARun.MaxRssKiB = Usage.ru_maxrss;
    const auto Ms = [](const timeval& ATime) { return ATime.tv_sec * 1000.0 + ATime.tv_usec / 1000.0; };
    ARun.CpuMs = Ms(Usage.ru_utime) + Ms(Usage.ru_stime);
    if (WIFEXITED(Status) && WEXITSTATUS(Status) == AProgram.Status)
        return true;
    std::fprintf(stderr, "side_by_side: %s %s\n", AProgram.Name.c_str(),
        WIFEXITED(Status) ? ("exited with status " + std::to_string(WEXITSTATUS(Status))).c_str()
                          : ("was killed by signal " + std::to_string(WTERMSIG(Status))).c_str());
    return false;
}

double Median(std::vector<double> AValues)
{
    std::sort(AValues.begin(), AValues.end());
    const size_t N = AValues.size();
    return N % 2 ? AValues[N / 2] : (AValues[N / 2 - 1] + AValues[N / 2]) / 2;
}

std::string BaseName(const std::string& APath)
{
    const size_t Slash = APath.rfind('/');
    return Slash == std::string::npos ? APath : APath.substr(Slash + 1);
}

const char* Verdict(bool AMet)
{
    return AMet ? "met" : "MISSED";
}

} // namespace

int main(int argc, char** argv)
{
    std::string Label;
    std::string Names;
    int Rounds = 21;
    int Warmup = 3;
    double Bytes = 0;
    double MaxRatio = 0;
    double MinThroughput = 0;
    double MaxRssMiB = 0;
    bool Cpu = false;
    TProgram A, B;
    int I = 1;
    for (; I < argc; ++I) {
        const std::string Arg = argv[I];
        auto Value = [&]() -> std::string {
            if (I + 1 >= argc)
                Fail(Arg + " needs a value");
            return argv[++I];
        };
        if (Arg == "--")
            break;
        if (Arg == "--label")
            Label = Value();
        else if (Arg == "--names")
            Names = Value();
        else if (Arg == "--rounds")
            Rounds = std::max(1, std::atoi(Value().c_str()));
        else if (Arg == "--warmup")
            Warmup = std::max(0, std::atoi(Value().c_str()));
        else if (Arg == "--bytes")
            Bytes = std::atof(Value().c_str());
        else if (Arg == "--max-ratio")
            MaxRatio = std::atof(Value().c_str());
        else if (Arg == "--min-throughput")
            MinThroughput = std::atof(Value().c_str());
        else if (Arg == "--cpu")
            Cpu = true;
        else if (Arg == "--max-rss-mib")
            MaxRssMiB = std::atof(Value().c_str());
        else if (Arg == "--statuses") {
            const std::string Both = Value();
            A.Status = std::atoi(Both.c_str());
            B.Status = Both.find(',') == std::string::npos ? 0 : std::atoi(Both.c_str() + Both.find(',') + 1);
        } else
            Fail("unknown option " + Arg);
    }
    TProgram* Into = &A;
    for (++I; I < argc; ++I) {
        if (std::strcmp(argv[I], ":::") == 0 && Into == &A)
            Into = &B;
        else
            Into->Argv.push_back(argv[I]);
    }
    if (A.Argv.empty() || B.Argv.empty())
        Fail("usage: side_by_side [options] -- A-PROGRAM [ARGS...] ::: B-PROGRAM [ARGS...]");
    A.Name = BaseName(A.Argv[0]);
    B.Name = BaseName(B.Argv[0]);
    if (const size_t Comma = Names.find(','); Comma != std::string::npos) {
        A.Name = Names.substr(0, Comma);
        B.Name = Names.substr(Comma + 1);
    }

    // Interleaved, so that whatever else the machine does weighs on both alike.
    for (int Round = 0; Round < Warmup + Rounds; ++Round) {
        for (TProgram* P : { &A, &B }) {
            TRun Run;
            if (!RunOnce(*P, Run))
                return 1;
            if (Round >= Warmup) {
                P->Times.push_back(Run.Ms);
                P->CpuTimes.push_back(Run.CpuMs);
                P->PeakKiB = std::max(P->PeakKiB, Run.MaxRssKiB);
            }
        }
    }

    std::printf("%s (%d rounds)\n", Label.c_str(), Rounds);
    for (TProgram* P : { &A, &B }) {
        const double M = Median(P->Times);
        std::printf("  %-14s median %9.2f ms (min %.2f, max %.2f)", P->Name.c_str(), M,
            *std::min_element(P->Times.begin(), P->Times.end()),
            *std::max_element(P->Times.begin(), P->Times.end()));
        if (Bytes > 0)
            std::printf(", %8.1f MiB/s", Bytes / (1 << 20) / (M / 1000));
        if (Cpu)
            std::printf(", CPU median %.2f ms (min %.2f, max %.2f)", Median(P->CpuTimes),
                *std::min_element(P->CpuTimes.begin(), P->CpuTimes.end()),
                *std::max_element(P->CpuTimes.begin(), P->CpuTimes.end()));
        std::printf(", peak RSS %.1f MiB\n", P->PeakKiB / 1024.0);
    }
    const double Ratio = Median(A.Times) / Median(B.Times);
    if (Bytes > 0) {
        const double Throughput = 1 / Ratio;
        std::printf("  throughput of %s / %s: %.2f", A.Name.c_str(), B.Name.c_str(), Throughput);
        if (MinThroughput > 0)
            std::printf(" (target at least %.2f: %s)", MinThroughput, Verdict(Throughput >= MinThroughput));
        std::printf("\n");
    } else {
        std::printf("  ratio of medians %s / %s: %.2f", A.Name.c_str(), B.Name.c_str(), Ratio);
        if (MaxRatio > 0 && !Cpu)
            std::printf(" (target at most %.2f: %s)", MaxRatio, Verdict(Ratio <= MaxRatio));
        std::printf("\n");
    }
    if (Cpu) {
        const double CpuRatio = Median(A.CpuTimes) / Median(B.CpuTimes);
        std::printf("  ratio of CPU medians %s / %s: %.2f", A.Name.c_str(), B.Name.c_str(), CpuRatio);
        if (MaxRatio > 0)
            std::printf(" (target at most %.2f: %s)", MaxRatio, Verdict(CpuRatio <= MaxRatio));
        std::printf("\n");
    }
    if (MaxRssMiB > 0)
        std::printf("  peak RSS of %s: %.1f MiB (target under %.0f MiB: %s)\n", A.Name.c_str(),
            A.PeakKiB / 1024.0, MaxRssMiB, Verdict(A.PeakKiB / 1024.0 < MaxRssMiB));
    return 0;
}
