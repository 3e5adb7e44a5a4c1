// The monitor-list file: blocks of Key=Value lines, one block per monitor, separated by
// empty lines. UTF-8, with Windows-1251 for each line that is not valid UTF-8, or UTF-16 with
// its byte-order mark (ListEncoding.h); CR LF written; LF or CR LF read, or CR alone in a
// file without any LF. What the reader does not understand is kept and written back, so a
// save never loses a line of a list that was loaded.
#pragma once

#include "monitors/ListEncoding.h"
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
    // Lines of the block that neither the list nor the monitor reads (other keys, lines
    // without "=", repeated keys), written back after the monitor's own lines.
    TStringList ExtraLines = {};
    // The lines of the block that were read as Windows-1251, as decoded: each is written in
    // it again while a line of the same text is written.
    TStringList Windows1251Lines = {};
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
    // The code's text, ": " and AReason, for a refusal the code alone would not explain.
    EInOutError(int32_t ACode, const std::string& AReason);
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
// EACCES, EPERM, EROFS, EISDIR 5; ENOSPC, EDQUOT 101; any other errno keeps its own number.
int32_t InOutErrorCode(int AErrno);

// The largest list read: far beyond any list written by hand, and small enough to read whole.
constexpr size_t MaxMonitorListSize = 16 * 1024 * 1024;

// A problem of a list as read, with all an operator needs to find and mend it. Every reason
// the reader gives:
// - a block without "Type": "no Type line, so the block makes no monitor";
// - an unknown type: `Type "pingmonitor" is not a kind of monitor; did you mean PingMonitor?`,
//   or the list of kinds when no kind is spelt alike;
// - a key the kind does not have: `Timout: a WebMonitor has no such key; did you mean
//   Timeout?` (the suggestion only for a key spelt alike);
// - a value its key cannot take: BadValueText, and "the monitor is not checked";
// - a line that is neither Key=Value nor a comment ("#" or ";" first).
// Blocks of comments alone are no problem.
struct TListProblem {
    int Line = 0; // from 1
    std::string Block; // the block's name; empty for a block without "Name"
    std::string Key;
    std::string Value;
    std::string Reason;
};

// `FILE:LINE: block "NAME": REASON` (without the block part for a block without a name).
std::string ListProblemText(const std::string& AFileName, const TListProblem& AProblem);

// What a list file holds besides its monitors, kept so that a save writes it back.
struct TMonitorListExtras {
    // UTF-16 for a list read as UTF-16. Otherwise what a line gets that was not read as
    // Windows-1251 (a new or changed one): Windows-1251 in a list where no line but those in
    // ASCII was read as UTF-8, UTF-8 in every other.
    TListEncoding Encoding = leUTF8;
    // Whether the text starts with a byte-order mark (in UTF-16, one after the file's own).
    bool ByteOrderMark = false;
    // Blocks that make no monitor (no "Type", an unknown type), their lines as read, and of
    // them the ones read as Windows-1251.
    std::vector<TStringList> UnreadBlocks;
    std::vector<TStringList> UnreadWindows1251;
    // For each unread block, the monitor it stood before, so that a save keeps it there (a
    // header comment stays first); none, or a monitor no longer listed, writes it after all.
    std::vector<std::weak_ptr<TServiceMonitor>> UnreadBefore;
    // What the reader found wrong, in line order.
    std::vector<TListProblem> Problems;
    // Everything from the first Ctrl+Z on, which ends the list for reading: the file's bytes
    // in an 8-bit list, the decoded text in a UTF-16 one.
    std::string Tail;
    // Blocks not understood: the unread blocks but those of comments alone, and the blocks
    // after the Ctrl+Z.
    int UnreadCount = 0;
    // The lines read as Windows-1251.
    int Windows1251Count = 0;
};

// "1 block of AFileName was not understood", "3 blocks of AFileName were not understood".
std::string UnreadBlocksText(const std::string& AFileName, int ACount);
// "1 line of AFileName was read as Windows-1251", "3 lines of AFileName were read as
// Windows-1251".
std::string Windows1251LinesText(const std::string& AFileName, int ACount);

// Appends the monitors of the file AFileName to AList in file order and, when AExtras is
// given, fills it with the rest of the file. False, with AList untouched, when the file
// cannot be opened (missing, no access, a folder, a bad name). Raises EInOutError for a read
// error, a file that is not a regular file (a FIFO would block, a device never ends) and a
// file larger than MaxMonitorListSize, and EListEncodingError for a list that does not
// decode (ParseMonitorList); AList is then untouched too. A block without
// "Type", or of an unknown type, makes no monitor; a block without "Name" is named
// "LoadedFromConfig". The last block counts even when no empty line ends it.
bool LoadMonitorList(
    const std::string& AFileName, TMonitorList& AList, TMonitorListExtras* AExtras = nullptr);

// Reads the bytes of a monitor-list file from memory, the same way as LoadMonitorList.
// Raises EListEncodingError, with AList untouched, for a UTF-16 list that does not decode
// and for a UTF-32 one.
void ParseMonitorList(const std::string& AText, TMonitorList& AList, TMonitorListExtras* AExtras = nullptr);

// The file's bytes for AList: per monitor "Name=", "Type=", the settings lines, the extra
// lines, two empty lines; then AExtras' unread blocks and tail. Each line in the encoding it
// was read in, a new one in AExtras' (UTF-8 without AExtras). Raises EListEncodingError for
// a character the encoding lacks.
std::string MonitorListText(const TMonitorList& AList, const TMonitorListExtras* AExtras = nullptr);

// The file AFileName stands for, with its symbolic links followed, so that what replaces it
// replaces the link's target and not the link: but in a world-writable sticky folder (such as
// /tmp) only a link of the user's own or of the folder's owner. Raises EInOutError for
// another's link there, a loop, and a link that cannot be read.
std::string FollowLinks(const std::string& AFileName);

// Writes AList (and AExtras, see MonitorListText) to AFileName. Where the folder allows it,
// the text goes to a temporary file beside the list, is flushed to the disk and renamed over
// the old file, which is so either the old one or the complete new one. Where the folder
// refuses a new file, or the old file's owner could not be kept, a file that may be written
// is rewritten in place and flushed. The old file's owner, group and mode are kept. A
// symbolic link is followed except where the kernel's protected-symlinks rule would refuse
// it (another user's link in a world-writable sticky folder). Raises EInOutError on any
// failure, leaving no temporary file behind.
void SaveMonitorList(
    const std::string& AFileName, const TMonitorList& AList, const TMonitorListExtras* AExtras = nullptr);
