// The monitor-list reader on arbitrary bytes, from memory and from a file, and the writer on
// what it read: the two readers must agree, and a list written and read back must write the
// same text again.
#include "monitors/MonitorList.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// One file per process for the file reader, removed at exit.
struct TScratchFile {
    TScratchFile()
    {
        char Template[] = "/tmp/vardex-fuzz-list-XXXXXX";
        const int Handle = ::mkstemp(Template);
        if (Handle < 0)
            std::abort();
        ::close(Handle);
        Name = Template;
    }
    ~TScratchFile() { std::remove(Name.c_str()); }
    std::string Name;
};

bool WriteFile(const std::string& AName, const std::string& AText)
{
    std::FILE* F = std::fopen(AName.c_str(), "wb");
    if (!F)
        return false;
    const bool Ok = std::fwrite(AText.data(), 1, AText.size(), F) == AText.size();
    return std::fclose(F) == 0 && Ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    static TScratchFile Scratch;
    const std::string Input(reinterpret_cast<const char*>(AData), ASize);

    TMonitorList FromText;
    ParseMonitorList(Input, FromText);
    const std::string Written = MonitorListText(FromText);

    if (WriteFile(Scratch.Name, Input)) {
        TMonitorList FromFile;
        if (!LoadMonitorList(Scratch.Name, FromFile) || MonitorListText(FromFile) != Written)
            std::abort();
    }

    TMonitorList Again;
    ParseMonitorList(Written, Again);
    if (Again.size() != FromText.size() || MonitorListText(Again) != Written)
        std::abort();
    return 0;
}
