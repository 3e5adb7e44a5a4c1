// vardex-check: the monitors of a monitor list checked without a display.
#include "tools/CheckTool.h"

int main(int argc, char** argv)
{
    return VardexCheckMain(argc, argv);
}
