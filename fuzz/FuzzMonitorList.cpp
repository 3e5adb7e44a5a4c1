// The monitor-list reader on arbitrary bytes, from memory and from a file, and the writer on
// what it read (with what it did not understand): the two readers must agree, and a list
// written and read back must write the same bytes again.
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

    // What was read is written back in the encoding it was read in, so it always encodes.
    // A list that does not decode is refused whole, by both readers.
    TMonitorList FromText;
    TMonitorListExtras Extras;
    bool Refused = false;
    try {
        ParseMonitorList(Input, FromText, &Extras);
    } catch (const EListEncodingError&) {
        Refused = true;
    }
    const std::string Written = Refused ? std::string() : MonitorListText(FromText, &Extras);

    if (WriteFile(Scratch.Name, Input)) {
        TMonitorList FromFile;
        TMonitorListExtras FileExtras;
        try {
            if (!LoadMonitorList(Scratch.Name, FromFile, &FileExtras) || Refused
                || MonitorListText(FromFile, &FileExtras) != Written)
                std::abort();
        } catch (const EListEncodingError&) {
            if (!Refused || !FromFile.empty())
                std::abort();
        }
    }
    if (Refused)
        return 0;

    TMonitorList Again;
    TMonitorListExtras AgainExtras;
    ParseMonitorList(Written, Again, &AgainExtras);
    if (Again.size() != FromText.size() || AgainExtras.UnreadCount != Extras.UnreadCount
        || MonitorListText(Again, &AgainExtras) != Written)
        std::abort();
    return 0;
}
