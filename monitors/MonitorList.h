// The monitor-list file: blocks of Key=Value lines, one block per monitor, separated by
// empty lines. UTF-8 (bytes as read), CR LF written, LF or CR LF read.
#pragma once

#include "monitors/Monitors.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

// One monitor of the list with its name. Names need not be unique: a monitor is known by
// its object. Shared ownership lets a check in progress keep its monitor alive when the
// entry is deleted under it.
struct TMonitorEntry {
    std::string Name;
    std::shared_ptr<TServiceMonitor> Monitor;
};

// In display and file order; duplicates allowed.
using TMonitorList = std::vector<TMonitorEntry>;

// A failed file operation, with the run-time library's error code and text: "File not
// found" (2), "Invalid filename" (3), "Too many open files" (4), "File access denied" (5),
// "Read beyond end of file" (100), "Disk full" (101), "Invalid numeric input" (106), and
// "I/O error %d" for every other code.
class EInOutError : public std::exception {
public:
    explicit EInOutError(int32_t ACode);
    // The code that InOutErrorCode gives for AErrno.
    static EInOutError FromErrno(int AErrno);
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }

    int32_t ErrorCode;

private:
    std::string FMessage;
};

std::string InOutErrorText(int32_t ACode);
// errno to the error codes above: ENOENT 2; ENAMETOOLONG, EINVAL 3; EMFILE, ENFILE 4;
// EACCES, EPERM, EROFS 5; ENOSPC, EDQUOT 101; any other errno keeps its own number.
int32_t InOutErrorCode(int AErrno);

// Appends the monitors of the file AFileName to AList in file order. False, with AList
// untouched, when the file cannot be opened (missing, no access, a folder, a bad name).
// A read error after opening raises EInOutError; the monitors read before it stay in AList.
// A block without "Type", or of an unknown type, is skipped silently; a block without
// "Name" is named "LoadedFromConfig". The last block counts even when no empty line ends it.
bool LoadMonitorList(const std::string& AFileName, TMonitorList& AList);

// Reads monitor-list text from memory, the same way as LoadMonitorList.
void ParseMonitorList(const std::string& AText, TMonitorList& AList);

// The file text of AList: per monitor "Name=", "Type=", the settings lines, two empty lines.
std::string MonitorListText(const TMonitorList& AList);

// Writes AList to AFileName so that the file is either the old one or the complete new one:
// the text goes to a temporary file in the same folder, is flushed to the disk and renamed
// over the old file, whose permissions it takes over. Raises EInOutError on any failure,
// leaving the old file as it was and no temporary file behind.
void SaveMonitorList(const std::string& AFileName, const TMonitorList& AList);
