#include "tools/CheckReport.h"

#include "net/stack/NetStrings.h"

#include <algorithm>

namespace {

// The length of the valid UTF-8 sequence at the start of AText (1 to 4), or 0 when its first
// byte does not begin one: no overlong forms, no surrogates, nothing past U+10FFFF.
size_t Utf8SequenceLength(std::string_view AText)
{
    const auto Byte = [&AText](size_t AIndex) { return static_cast<unsigned char>(AText[AIndex]); };
    const unsigned char Lead = Byte(0);
    if (Lead < 0x80)
        return 1;
    size_t Length = 0;
    unsigned char Low = 0x80; // bounds of the second byte
    unsigned char High = 0xBF;
    if (Lead >= 0xC2 && Lead <= 0xDF) {
        Length = 2;
    } else if (Lead >= 0xE0 && Lead <= 0xEF) {
        Length = 3;
        if (Lead == 0xE0)
            Low = 0xA0;
        else if (Lead == 0xED)
            High = 0x9F;
    } else if (Lead >= 0xF0 && Lead <= 0xF4) {
        Length = 4;
        if (Lead == 0xF0)
            Low = 0x90;
        else if (Lead == 0xF4)
            High = 0x8F;
    } else {
        return 0;
    }
    if (AText.size() < Length || Byte(1) < Low || Byte(1) > High)
        return 0;
    for (size_t I = 2; I < Length; ++I)
        if (Byte(I) < 0x80 || Byte(I) > 0xBF)
            return 0;
    return Length;
}

// Moves AText's leading UTF-8 sequence to AResult, or U+FFFD for a byte that starts none.
void TakeUtf8Sequence(std::string_view& AText, std::string& AResult)
{
    const size_t Length = Utf8SequenceLength(AText);
    if (Length == 0) {
        AResult += "\xEF\xBF\xBD";
        AText.remove_prefix(1);
    } else {
        AResult.append(AText.substr(0, Length));
        AText.remove_prefix(Length);
    }
}

} // namespace

std::string ValidUtf8(std::string_view AText)
{
    std::string Result;
    Result.reserve(AText.size());
    while (!AText.empty())
        TakeUtf8Sequence(AText, Result);
    return Result;
}

TCheckReport MakeCheckReport(const std::string& AName, const TServiceMonitor& AMonitor, int64_t AMilliseconds)
{
    TCheckReport Report;
    Report.Started = AMonitor.LastCheck();
    Report.Name = AName;
    Report.Kind = AMonitor.TypeKey();
    // A report goes to terminals, logs and scripts, where a secret has no business.
    Report.Target = AMonitor.Target(tfMasked);
    Report.Status = AMonitor.Status();
    Report.Milliseconds = AMilliseconds;
    if (Report.Status == msError)
        Report.Reason = AMonitor.LastError();
    if (AMonitor.Certificate().Earliest != 0)
        Report.CertDays = CertificateDaysLeft(AMonitor.Certificate().Earliest, UnixNow());
    return Report;
}

std::string OneLine(std::string_view AText)
{
    std::string Result;
    Result.reserve(AText.size());
    bool InBreak = false;
    for (const char C : AText) {
        if (C == '\r' || C == '\n') {
            if (!InBreak)
                Result.push_back(' ');
            InBreak = true;
            continue;
        }
        InBreak = false;
        Result.push_back(C == '\t' ? ' ' : C);
    }
    return Result;
}

std::string TerminalText(std::string_view AText)
{
    std::string Result;
    Result.reserve(AText.size());
    while (!AText.empty()) {
        const unsigned char C = static_cast<unsigned char>(AText.front());
        size_t Length = C >= 0x80 ? Utf8SequenceLength(AText) : 1;
        if (C < 0x20 || C == 0x7F || Length == 0) {
            Result += FormatStr("\\x%02X", C);
            Length = 1;
        } else if (Length == 2 && C == 0xC2 && static_cast<unsigned char>(AText[1]) < 0xA0) {
            // A C1 control (CSI among them) in UTF-8, which some terminals obey as well.
            Result += FormatStr("\\u%04X", static_cast<unsigned char>(AText[1]));
        } else {
            Result.append(AText.substr(0, Length));
        }
        AText.remove_prefix(Length);
    }
    return Result;
}

std::string StampText(TDateTime AValue)
{
    if (AValue == 0)
        return {};
    int Year, Month, Day, Hour, Min, Sec, MSec;
    DecodeDate(AValue, Year, Month, Day);
    DecodeTime(AValue, Hour, Min, Sec, MSec);
    return FormatStr("%04d-%02d-%02d %02d:%02d:%02d", Year, Month, Day, Hour, Min, Sec);
}

std::string JsonString(std::string_view AText)
{
    std::string Result;
    Result.reserve(AText.size() + 2);
    Result.push_back('"');
    while (!AText.empty()) {
        const unsigned char C = static_cast<unsigned char>(AText.front());
        if (C >= 0x80) {
            TakeUtf8Sequence(AText, Result);
            continue;
        }
        AText.remove_prefix(1);
        switch (C) {
        case '"':
            Result += "\\\"";
            break;
        case '\\':
            Result += "\\\\";
            break;
        case '\b':
            Result += "\\b";
            break;
        case '\f':
            Result += "\\f";
            break;
        case '\n':
            Result += "\\n";
            break;
        case '\r':
            Result += "\\r";
            break;
        case '\t':
            Result += "\\t";
            break;
        default:
            if (C < 0x20)
                Result += FormatStr("\\u%04x", C);
            else
                Result.push_back(static_cast<char>(C));
        }
    }
    Result.push_back('"');
    return Result;
}

const char* ReportStatusWord(const TCheckReport& AReport)
{
    return AReport.NotChecked ? "NOT CHECKED" : StatusWord(AReport.Status);
}

std::string ReportLine(const TCheckReport& AReport, bool AWithTime)
{
    std::string Line;
    if (AWithTime)
        Line = StampText(AReport.Started) + '\t';
    const auto Field = [](const std::string& AText) { return TerminalText(OneLine(AText)); };
    Line += Field(AReport.Name) + '\t' + Field(AReport.Kind) + '\t' + Field(AReport.Target) + '\t'
        + ReportStatusWord(AReport) + '\t' + IntToStr(AReport.Milliseconds) + '\t' + Field(AReport.Reason);
    if (AReport.CertDays)
        Line += '\t' + IntToStr(*AReport.CertDays);
    return Line;
}

std::string ReportJson(const TCheckReport& AReport, bool AWithTime)
{
    std::string Json = "{";
    if (AWithTime)
        Json += "\"time\":" + JsonString(StampText(AReport.Started)) + ',';
    Json += "\"name\":" + JsonString(OneLine(AReport.Name));
    Json += ",\"kind\":" + JsonString(OneLine(AReport.Kind));
    Json += ",\"target\":" + JsonString(OneLine(AReport.Target));
    Json += ",\"status\":" + JsonString(ReportStatusWord(AReport));
    Json += ",\"ms\":" + IntToStr(AReport.Milliseconds);
    Json += ",\"reason\":" + JsonString(OneLine(AReport.Reason));
    if (AReport.CertDays)
        Json += ",\"cert_days\":" + IntToStr(*AReport.CertDays);
    Json += '}';
    return Json;
}
