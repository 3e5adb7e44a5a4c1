// vardex-check: the monitors of a monitor list checked without a display.
#include "tools/CheckTool.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    // What the run cannot do without (a descriptor or a thread of its own at start, memory) ends
    // it with a word and status 2, never with an abort.
    try {
        return VardexCheckMain(argc, argv);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "vardex-check: %s\n", E.what());
        return CheckExitUsage;
    }
}
