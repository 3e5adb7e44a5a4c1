// Settings lines: the factory and SetSettings on arbitrary lines (one per LF of the input),
// then GetSettings. What a monitor writes must read back into a monitor that writes the same.
#include "monitors/Monitors.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

TStringList SplitLines(const std::string& AText)
{
    TStringList Lines;
    size_t Start = 0;
    while (Start <= AText.size()) {
        const size_t End = AText.find('\n', Start);
        if (End == std::string::npos) {
            Lines.push_back(AText.substr(Start));
            break;
        }
        Lines.push_back(AText.substr(Start, End - Start));
        Start = End + 1;
    }
    return Lines;
}

// The settings of AMonitor, given to a new monitor of its type, come out unchanged.
void CheckRoundTrip(const TServiceMonitor& AMonitor)
{
    TStringList Lines = AMonitor.GetSettings();
    const TStringList Expected = Lines;
    Lines.push_back("Type=" + AMonitor.TypeKey());
    std::unique_ptr<TServiceMonitor> Copy = CreateMonitorFromSettings(Lines);
    if (!Copy || Copy->TypeKey() != AMonitor.TypeKey() || Copy->GetSettings() != Expected)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    const TStringList Lines = SplitLines(std::string(reinterpret_cast<const char*>(AData), ASize));

    if (std::unique_ptr<TServiceMonitor> Monitor = CreateMonitorFromSettings(Lines)) {
        std::string Type;
        if (!FindSettingsValue(Lines, "Type", Type) || Type != Monitor->TypeKey())
            std::abort();
        CheckRoundTrip(*Monitor);
    }

    // The window's editor hands any lines to the monitor it edits.
    for (const TMonitorKind* Kind : MonitorKinds()) {
        const std::unique_ptr<TServiceMonitor> Monitor = Kind->Create();
        Monitor->SetSettings(Lines);
        CheckRoundTrip(*Monitor);
    }
    return 0;
}
