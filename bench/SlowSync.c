// A disk whose syncs are slow, for the exit-time benchmark: LD_PRELOAD=libslow_sync.so makes
// every fsync and fdatasync of the process wait VARDEX_SLOW_SYNC_MS milliseconds (default 500)
// before it syncs, as a busy spinning disk, an SD card or a loaded virtual machine's disk may.
// Writes without a sync are left alone: they go to the page cache as on any disk.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static void Wait(void)
{
    const char* Text = getenv("VARDEX_SLOW_SYNC_MS");
    const long Ms = Text ? atol(Text) : 500;
    struct timespec Span = { Ms / 1000, (Ms % 1000) * 1000000L };
    while (nanosleep(&Span, &Span) != 0) { }
}

int fsync(int AFd)
{
    static int (*Real)(int);
    if (!Real)
        Real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    Wait();
    return Real(AFd);
}

int fdatasync(int AFd)
{
    static int (*Real)(int);
    if (!Real)
        Real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    Wait();
    return Real(AFd);
}
