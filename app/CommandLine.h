// The program's command line, read before the application object exists: --help and
// --version must work without a display, and a wrong option must stop the program before a
// window opens.
#pragma once

#include <string>

struct TCommandLine {
    // The list loaded at start and saved by Ctrl+S.
    std::string ListFile = "default.cfg";
    // --jobs N: the most checks that run at once; 0 for the default.
    long Jobs = 0;
    bool Help = false;
    bool Version = false;
    // Why the command line was refused; empty when it was not.
    std::string Error;
};

// Reads AArgv. Qt's own options (-platform, -style, -session and the like, with one dash or
// two) are left to Qt, which the session manager relies on when it restarts the program.
TCommandLine ParseCommandLine(int AArgc, const char* const* AArgv);

// The text of --help.
extern const char* const CommandLineHelp;
