#include "app/CommandLine.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Qt's options: those that take a value, and those that do not.
constexpr std::string_view QtValueOptions[] = { "platform", "platformpluginpath", "platformtheme", "plugin",
    "qmljsdebugger", "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "style", "stylesheet",
    "display", "geometry", "name", "title", "visual" };
constexpr std::string_view QtFlagOptions[] = { "reverse", "widgetcount", "nograb", "dograb", "sync" };

bool IsOneOf(std::string_view AName, const auto& AList)
{
    for (const std::string_view Name : AList)
        if (AName == Name)
            return true;
    return false;
}

} // namespace

const char* const CommandLineHelp = R"(Usage: vardex [OPTION]... [FILE]
Watch the monitors of the list FILE in a window; FILE is default.cfg in the working
folder unless given, and Ctrl+S saves the list there.

  --jobs N   Run at most N checks at once (1 to 1024).
  -h, --help Print this help and exit.
  --version  Print the version and exit.
  --         Take what follows as FILE, even when it begins with "-".

Qt's own options (-platform, -style, -session and the like) are passed to Qt.
)";

TCommandLine ParseCommandLine(int AArgc, const char* const* AArgv)
{
    TCommandLine Line;
    bool Named = false;
    bool Options = true;
    for (int I = 1; I < AArgc && Line.Error.empty(); ++I) {
        const std::string_view Arg = AArgv[I];
        if (!Options || Arg.empty() || Arg[0] != '-' || Arg == "-") {
            if (Named)
                Line.Error = "only one list file can be given";
            Line.ListFile = Arg;
            Named = true;
        } else if (Arg == "--") {
            Options = false;
        } else if (Arg == "--help" || Arg == "-h") {
            Line.Help = true;
        } else if (Arg == "--version") {
            Line.Version = true;
        } else if (Arg == "--jobs") {
            char* End = nullptr;
            const char* Value = I + 1 < AArgc ? AArgv[++I] : "";
            Line.Jobs = std::strtol(Value, &End, 10);
            if (*Value == '\0' || *End != '\0' || Line.Jobs < 1 || Line.Jobs > 1024)
                Line.Error = "--jobs needs a number from 1 to 1024";
        } else {
            const std::string_view Name = Arg.substr(Arg.starts_with("--") ? 2 : 1);
            if (IsOneOf(Name, QtValueOptions))
                ++I;
            else if (!IsOneOf(Name, QtFlagOptions))
                Line.Error = "unknown option " + std::string(Arg) + "; try vardex --help";
        }
    }
    return Line;
}
