// vardex-check: checks the monitors of a monitor list from a terminal or a script, once or on
// the window's schedule, with the same monitor code as the window.
#pragma once

#include "tools/CheckOptions.h"

// The whole program: arguments, the list, the run, and the exit status.
int VardexCheckMain(int AArgc, char** AArgv);
