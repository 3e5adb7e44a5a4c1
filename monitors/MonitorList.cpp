#include "monitors/MonitorList.h"

#include "monitors/MonitorKind.h"
#include "net/stack/NetStrings.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr char CtrlZ = '\x1A';
constexpr const char* DefaultName = "LoadedFromConfig";

bool SameKey(std::string_view ALine, std::string_view AKey)
{
    const size_t Eq = ALine.find('=');
    if (Eq == std::string_view::npos || Eq != AKey.size())
        return false;
    for (size_t I = 0; I < Eq; ++I)
        if (std::tolower(static_cast<unsigned char>(ALine[I]))
            != std::tolower(static_cast<unsigned char>(AKey[I])))
            return false;
    return true;
}

// The lines of ABlock that the list and AMonitor do not read: everything but the first line
// of "Name", of "Type" and of each key the monitor writes.
TStringList ExtraLinesOf(const TStringList& ABlock, const TServiceMonitor& AMonitor)
{
    TStringList Keys { "Name", "Type" };
    for (const std::string& Line : AMonitor.GetSettings())
        Keys.push_back(Line.substr(0, Line.find('=')));
    std::vector<bool> Used(Keys.size(), false);
    TStringList Extra;
    for (const std::string& Line : ABlock) {
        bool Read = false;
        for (size_t K = 0; K < Keys.size() && !Read; ++K) {
            if (!Used[K] && SameKey(Line, Keys[K])) {
                Used[K] = true;
                Read = true;
            }
        }
        if (!Read)
            Extra.push_back(Line);
    }
    return Extra;
}

// A block in the making: its trimmed lines with their line numbers, and of them the ones read
// as Windows-1251.
struct TBlock {
    TStringList Lines;
    std::vector<int> Numbers;
    TStringList Windows1251;
};

bool IsComment(std::string_view ALine)
{
    return ALine.starts_with('#') || ALine.starts_with(';');
}

std::string Lower(std::string_view AText)
{
    std::string Result(AText);
    for (char& C : Result)
        C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    return Result;
}

// The edit distance of two words, ignoring letter case.
size_t Distance(std::string_view A, std::string_view B)
{
    const std::string X = Lower(A), Y = Lower(B);
    std::vector<size_t> Row(Y.size() + 1);
    for (size_t J = 0; J <= Y.size(); ++J)
        Row[J] = J;
    for (size_t I = 1; I <= X.size(); ++I) {
        size_t Diagonal = Row[0];
        Row[0] = I;
        for (size_t J = 1; J <= Y.size(); ++J) {
            const size_t Above = Row[J];
            Row[J] = std::min({ Row[J] + 1, Row[J - 1] + 1, Diagonal + (X[I - 1] == Y[J - 1] ? 0 : 1) });
            Diagonal = Above;
        }
    }
    return Row[Y.size()];
}

// The one of ACandidates spelt most like AWord, when one is close enough to be a typo.
std::string Suggestion(std::string_view AWord, const std::vector<std::string_view>& ACandidates)
{
    std::string Best;
    size_t BestDistance = std::max<size_t>(1, std::min<size_t>(2, AWord.size() / 3)) + 1;
    for (const std::string_view Candidate : ACandidates) {
        const size_t D = Distance(AWord, Candidate);
        if (D < BestDistance) {
            BestDistance = D;
            Best = Candidate;
        }
    }
    return Best;
}

// Notes what is wrong with a block: its type, its keys, its values (AMonitor: what it made).
void FindProblems(const TBlock& ABlock, const TServiceMonitor* AMonitor, TMonitorListExtras& AExtras)
{
    std::string Name;
    FindSettingsValue(ABlock.Lines, "Name", Name);
    const auto Note = [&](size_t AIndex, std::string AKey, std::string AValue, std::string AReason) {
        AExtras.Problems.push_back(
            { ABlock.Numbers[AIndex], Name, std::move(AKey), std::move(AValue), std::move(AReason) });
    };
    std::string Type;
    if (!FindSettingsValue(ABlock.Lines, "Type", Type)) {
        // At the block's first line that is no comment: a header above it is not the block.
        const auto First = static_cast<size_t>(
            std::find_if_not(ABlock.Lines.begin(), ABlock.Lines.end(), IsComment) - ABlock.Lines.begin());
        Note(First, "Type", "", "no Type line, so the block makes no monitor");
        return;
    }
    const auto TypeIndex = static_cast<size_t>(std::find_if(ABlock.Lines.begin(), ABlock.Lines.end(),
                                                   [](const std::string& L) { return SameKey(L, "Type"); })
        - ABlock.Lines.begin());
    if (!AMonitor) {
        std::vector<std::string_view> Kinds;
        std::string Known;
        for (const TMonitorKind* Kind : MonitorKinds()) {
            Kinds.push_back(Kind->TypeKey);
            Known += (Known.empty() ? "" : ", ") + std::string(Kind->TypeKey);
        }
        const std::string Like = Suggestion(Type, Kinds);
        Note(TypeIndex, "Type", Type,
            "Type \"" + Type + "\" is not a kind of monitor"
                + (Like.empty() ? " (" + Known + ")" : "; did you mean " + Like + "?"));
        return;
    }
    const TMonitorKind& Kind = AMonitor->Kind();
    std::vector<std::string_view> Keys { "Name", "Type" };
    for (const TKeyDescription& Key : Kind.Keys)
        Keys.push_back(Key.Name);
    for (size_t I = 0; I < ABlock.Lines.size(); ++I) {
        const std::string& Line = ABlock.Lines[I];
        if (IsComment(Line))
            continue;
        const size_t Eq = Line.find('=');
        if (Eq == std::string::npos) {
            Note(I, "", Line, "\"" + Line + "\" is neither Key=Value nor a comment (# or ; first)");
            continue;
        }
        const std::string Key = Line.substr(0, Eq);
        const std::string Value = Line.substr(Eq + 1);
        if (std::none_of(Keys.begin(), Keys.end(), [&](std::string_view K) { return SameText(K, Key); })) {
            const std::string Like = Suggestion(Key, Keys);
            Note(I, Key, Value,
                Key + ": a " + std::string(Kind.TypeKey) + " has no such key"
                    + (Like.empty() ? std::string() : "; did you mean " + Like + "?"));
        }
    }
    for (const TBadValue& Bad : AMonitor->BadValues())
        for (size_t I = 0; I < ABlock.Lines.size(); ++I)
            if (SameKey(ABlock.Lines[I], Bad.Key)) {
                Note(I, Bad.Key, Bad.Value, BadValueText(Bad) + " The monitor is not checked.");
                break;
            }
}

// Builds the block in hand and empties it. A block the factory refuses goes to AExtras.
// APositions: for each unread block, the index in AList of the monitor read after it.
void FlushBlock(
    TBlock& ABlock, TMonitorList& AList, TMonitorListExtras& AExtras, std::vector<size_t>& APositions)
{
    const bool Comments = std::all_of(ABlock.Lines.begin(), ABlock.Lines.end(), IsComment);
    if (std::unique_ptr<TServiceMonitor> Monitor = CreateMonitorFromSettings(ABlock.Lines)) {
        FindProblems(ABlock, Monitor.get(), AExtras);
        std::string Name;
        if (!FindSettingsValue(ABlock.Lines, "Name", Name))
            Name = DefaultName;
        TStringList Extra = ExtraLinesOf(ABlock.Lines, *Monitor);
        AList.push_back({ std::move(Name), std::shared_ptr<TServiceMonitor>(std::move(Monitor)),
            std::move(Extra), std::move(ABlock.Windows1251) });
    } else if (!ABlock.Lines.empty()) {
        if (!Comments) {
            FindProblems(ABlock, nullptr, AExtras);
            ++AExtras.UnreadCount;
        }
        AExtras.UnreadBlocks.push_back(std::move(ABlock.Lines));
        AExtras.UnreadWindows1251.push_back(std::move(ABlock.Windows1251));
        APositions.push_back(AList.size());
    }
    ABlock = {};
}

// The number of blocks (runs of lines that are not blank) in AText.
int CountBlocks(std::string_view AText)
{
    int Count = 0;
    bool InBlock = false;
    size_t Start = 0;
    while (Start <= AText.size()) {
        size_t End = AText.find('\n', Start);
        if (End == std::string_view::npos)
            End = AText.size();
        const bool Blank = Trim(AText.substr(Start, End - Start)).empty();
        if (!Blank && !InBlock)
            ++Count;
        InBlock = !Blank;
        Start = End + 1;
    }
    return Count;
}

bool IsASCII(std::string_view AText)
{
    return std::all_of(
        AText.begin(), AText.end(), [](char C) { return static_cast<unsigned char>(C) < 0x80; });
}

// Reads the list: the byte-order marks, then the lines. A line ends at LF, and every CR is
// dropped, so CR LF ends a line and a lone CR vanishes; but in a file without any LF a CR
// ends a line, for lists of systems that wrote CR alone. An 8-bit line that is valid UTF-8 is
// UTF-8, any other is Windows-1251. Lines are trimmed; empty lines end blocks; Ctrl+Z ends
// the list, and what follows it is kept as the tail.
void ParseListBytes(std::string_view ABytes, TMonitorList& AList, TMonitorListExtras& AExtras)
{
    // UTF-32 starts with what UTF-16's little-endian mark starts with.
    if (ABytes.substr(0, 4) == std::string_view("\xFF\xFE\0\0", 4)
        || ABytes.substr(0, 4) == std::string_view("\0\0\xFE\xFF", 4))
        throw EListEncodingError("The list is UTF-32, which is not read: save it as UTF-8");
    std::string Decoded;
    if (ABytes.substr(0, 2) == "\xFF\xFE" || ABytes.substr(0, 2) == "\xFE\xFF") {
        AExtras.Encoding = ABytes[0] == '\xFF' ? leUTF16LE : leUTF16BE;
        Decoded = FromUTF16(std::string(ABytes.substr(2)), AExtras.Encoding);
        ABytes = Decoded;
    }
    const bool EightBit = Decoded.empty() && AExtras.Encoding == leUTF8;
    const size_t Stop = ABytes.find(CtrlZ);
    if (Stop != std::string_view::npos) {
        AExtras.Tail = std::string(ABytes.substr(Stop));
        AExtras.UnreadCount += CountBlocks(ABytes.substr(Stop + 1));
        ABytes = ABytes.substr(0, Stop);
    }
    // A byte-order mark some editors put in front would spoil the first key.
    if (ABytes.substr(0, 3) == "\xEF\xBB\xBF") {
        ABytes.remove_prefix(3);
        AExtras.ByteOrderMark = true;
    }
    // Most lists are valid UTF-8 whole, and need no look at each line; most are ASCII, which
    // needs no decoder either (opening one loads a conversion module).
    const bool AllUTF8 = !EightBit || IsASCII(ABytes) || IsValidUTF8(std::string(ABytes));
    const char Break = ABytes.find('\n') == std::string_view::npos ? '\r' : '\n';
    bool UTF8Text = false; // a line beyond ASCII read as UTF-8
    TBlock Block;
    std::vector<size_t> Positions;
    std::string Line;
    size_t Start = 0;
    int Number = 0;
    while (Start < ABytes.size()) {
        ++Number;
        size_t End = ABytes.find(Break, Start);
        if (End == std::string_view::npos)
            End = ABytes.size();
        Line.clear();
        for (const char C : ABytes.substr(Start, End - Start))
            if (C != '\r')
                Line.push_back(C);
        bool Legacy = false;
        if (!AllUTF8 && !IsASCII(Line)) {
            Legacy = !IsValidUTF8(Line);
            UTF8Text = UTF8Text || !Legacy;
            if (Legacy) {
                Line = FromWindows1251(Line);
                ++AExtras.Windows1251Count;
            }
        }
        std::string Trimmed = Trim(Line);
        if (Trimmed.empty()) {
            FlushBlock(Block, AList, AExtras, Positions);
        } else {
            if (Legacy)
                Block.Windows1251.push_back(Trimmed);
            Block.Lines.push_back(std::move(Trimmed));
            Block.Numbers.push_back(Number);
        }
        Start = End + 1;
    }
    // The last block is built even without an empty line after it, so a hand-edited file
    // loses nothing.
    FlushBlock(Block, AList, AExtras, Positions);
    for (const size_t Position : Positions)
        AExtras.UnreadBefore.push_back(Position < AList.size()
                ? std::weak_ptr<TServiceMonitor>(AList[Position].Monitor)
                : std::weak_ptr<TServiceMonitor>());
    if (EightBit && AExtras.Windows1251Count > 0 && !UTF8Text)
        AExtras.Encoding = leWindows1251;
}

// Closes a descriptor on every path.
class TFileHandle {
public:
    explicit TFileHandle(int AHandle = -1)
        : FHandle(AHandle)
    {
    }
    ~TFileHandle() { Close(); }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    int Get() const { return FHandle; }
    void Reset(int AHandle)
    {
        Close();
        FHandle = AHandle;
    }
    // The result of close(2), which can report a delayed write error.
    int Close()
    {
        int Result = 0;
        if (FHandle >= 0)
            Result = ::close(FHandle);
        FHandle = -1;
        return Result;
    }

private:
    int FHandle;
};

[[noreturn]] void RaiseLastError()
{
    throw EInOutError::FromErrno(errno);
}

std::string DirectoryOf(const std::string& APath)
{
    const size_t Slash = APath.rfind('/');
    if (Slash == std::string::npos)
        return ".";
    if (Slash == 0)
        return "/";
    return APath.substr(0, Slash);
}

std::string BaseNameOf(const std::string& APath)
{
    const size_t Slash = APath.rfind('/');
    return Slash == std::string::npos ? APath : APath.substr(Slash + 1);
}

} // namespace

// Symbolic links are followed only where the kernel's protected-symlinks rule would follow
// them too: anyone may put a link in /tmp, and following another user's link would let them
// choose which file is replaced.
std::string FollowLinks(const std::string& AFileName)
{
    std::string Path = AFileName;
    for (int Hops = 0;; ++Hops) {
        struct stat Link { };
        if (::lstat(Path.c_str(), &Link) != 0 || !S_ISLNK(Link.st_mode))
            return Path;
        if (Hops >= 40)
            throw EInOutError::FromErrno(ELOOP);
        const std::string Folder = DirectoryOf(Path);
        struct stat Shared { };
        if (::stat(Folder.c_str(), &Shared) == 0 && (Shared.st_mode & S_ISVTX) && (Shared.st_mode & S_IWOTH)
            && Link.st_uid != ::geteuid() && Link.st_uid != Shared.st_uid)
            throw EInOutError(5,
                Path
                    + " is a symbolic link of another user in a shared sticky folder, which is not followed");
        std::string Target(PATH_MAX, '\0');
        const ssize_t Length = ::readlink(Path.c_str(), Target.data(), Target.size());
        if (Length < 0)
            RaiseLastError();
        Target.resize(static_cast<size_t>(Length));
        Path = !Target.empty() && Target[0] == '/' ? Target : Folder + "/" + Target;
    }
}

namespace {

// A new, empty file in the folder AFolder that no one else uses, with a short name that
// fits whatever the list's own name is, made with AMode and the umask; the caller removes it
// on failure.
int CreateTemporary(int AFolder, std::string& ATempName, mode_t AMode)
{
    static std::atomic<unsigned> GCounter { 0 };
    for (int Attempt = 0;; ++Attempt) {
        ATempName = ".vardex-" + IntToStr(::getpid()) + "-" + IntToStr(GCounter++) + ".tmp";
        const int Handle
            = ::openat(AFolder, ATempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, AMode);
        if (Handle >= 0 || errno != EEXIST || Attempt >= 100)
            return Handle;
    }
}

// Writes all of AText at AOffset on; returns 0 or the errno of the failure.
int WriteAll(int AHandle, const std::string& AText, off_t AOffset = 0)
{
    size_t Done = 0;
    while (Done < AText.size()) {
        const ssize_t Written
            = ::pwrite(AHandle, AText.data() + Done, AText.size() - Done, AOffset + static_cast<off_t>(Done));
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        Done += static_cast<size_t>(Written);
    }
    return 0;
}

bool IsRefusal(int AErrno)
{
    return AErrno == EACCES || AErrno == EPERM;
}

// The atomic way: a temporary file beside the list, renamed over it. False, with nothing
// left behind, where the folder refuses the temporary file or the rename, or where the old
// file's owner cannot be given to the new one: the file is then better written in place.
bool SaveByRename(int AFolder, const std::string& ABase, const std::string& AText, const struct stat* AOld)
{
    // A list of passwords made private stays private while it is written: the new file is
    // never readable by more than the old one. A new list gets what any new file would get.
    std::string TempName;
    TFileHandle File(CreateTemporary(AFolder, TempName, AOld ? AOld->st_mode & 0777 : 0666));
    if (File.Get() < 0) {
        if (AOld && IsRefusal(errno))
            return false;
        RaiseLastError();
    }
    // The temporary file goes on every way out but the rename.
    struct TRemove {
        int Folder;
        const std::string& Name;
        bool Armed = true;
        ~TRemove()
        {
            if (Armed)
                ::unlinkat(Folder, Name.c_str(), 0);
        }
    } Remove { AFolder, TempName };

    // Owner, group and mode are the old file's before a byte is written. Owner first: a
    // change of owner clears the set-id bits.
    if (AOld) {
        if ((AOld->st_uid != ::geteuid() || AOld->st_gid != ::getegid())
            && ::fchown(File.Get(), AOld->st_uid, AOld->st_gid) != 0)
            return false;
        if (::fchmod(File.Get(), AOld->st_mode & 07777) != 0)
            RaiseLastError();
    }
    if (const int Error = WriteAll(File.Get(), AText))
        throw EInOutError::FromErrno(Error);
    if (::fsync(File.Get()) != 0)
        RaiseLastError();
    if (File.Close() != 0)
        RaiseLastError();
    if (::renameat(AFolder, TempName.c_str(), AFolder, ABase.c_str()) != 0) {
        // A sticky folder does not let the file of another user be replaced.
        if (AOld && IsRefusal(errno))
            return false;
        RaiseLastError();
    }
    Remove.Armed = false;
    // The rename itself reaches the disk with the folder; a failure here leaves a complete
    // file either way, so it is not reported.
    (void)::fsync(AFolder);
    return true;
}

// The other way, for a list the user may write in a folder they may not: the new text
// over the old from the start, then the rest cut off, then flushed.
void SaveInPlace(int AHandle, const std::string& AText)
{
    int Error = WriteAll(AHandle, AText);
    if (Error == 0 && ::ftruncate(AHandle, static_cast<off_t>(AText.size())) != 0)
        Error = errno;
    if (Error == 0 && ::fsync(AHandle) != 0)
        Error = errno;
    if (Error != 0)
        throw EInOutError(InOutErrorCode(Error),
            "the folder allows no new file, so the list was being written in place and may be incomplete");
}

std::string ReadWhole(int AHandle, const std::string& AFileName)
{
    std::string Bytes;
    char Buffer[65536];
    for (;;) {
        const ssize_t Count = ::read(AHandle, Buffer, sizeof(Buffer));
        if (Count < 0) {
            if (errno == EINTR)
                continue;
            RaiseLastError();
        }
        if (Count == 0)
            return Bytes;
        // Files that grow while they are read, and those that report no size (/proc), too.
        if (Bytes.size() + static_cast<size_t>(Count) > MaxMonitorListSize)
            throw EInOutError(5, AFileName + " is larger than 16 MiB, which no monitor list is");
        Bytes.append(Buffer, static_cast<size_t>(Count));
    }
}

} // namespace

int32_t InOutErrorCode(int AErrno)
{
    switch (AErrno) {
    case ENOENT:
        return 2;
    case ENAMETOOLONG:
    case EINVAL:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return 5;
    case ENOSPC:
    case EDQUOT:
        return 101;
    default:
        return AErrno;
    }
}

std::string InOutErrorText(int32_t ACode)
{
    switch (ACode) {
    case 2:
        return "File not found";
    case 3:
        return "Invalid filename";
    case 4:
        return "Too many open files";
    case 5:
        return "File access denied";
    case 100:
        return "Read beyond end of file";
    case 101:
        return "Disk full";
    case 106:
        return "Invalid numeric input";
    default:
        return FormatStr("I/O error %d", static_cast<int>(ACode));
    }
}

EInOutError::EInOutError(int32_t ACode)
    : ErrorCode(ACode)
    , FMessage(InOutErrorText(ACode))
{
}

EInOutError::EInOutError(int32_t ACode, const std::string& AReason)
    : ErrorCode(ACode)
    , FMessage(InOutErrorText(ACode) + ": " + AReason)
{
}

EInOutError EInOutError::FromErrno(int AErrno)
{
    return EInOutError(InOutErrorCode(AErrno));
}

std::string ListProblemText(const std::string& AFileName, const TListProblem& AProblem)
{
    return AFileName + ":" + IntToStr(AProblem.Line) + ": "
        + (AProblem.Block.empty() ? std::string() : "block \"" + AProblem.Block + "\": ") + AProblem.Reason;
}

std::string UnreadBlocksText(const std::string& AFileName, int ACount)
{
    return IntToStr(ACount) + (ACount == 1 ? " block of " : " blocks of ") + AFileName
        + (ACount == 1 ? " was" : " were") + " not understood";
}

std::string Windows1251LinesText(const std::string& AFileName, int ACount)
{
    return IntToStr(ACount) + (ACount == 1 ? " line of " : " lines of ") + AFileName
        + (ACount == 1 ? " was" : " were") + " read as Windows-1251";
}

void ParseMonitorList(const std::string& AText, TMonitorList& AList, TMonitorListExtras* AExtras)
{
    TMonitorListExtras Extras;
    TMonitorList Read;
    ParseListBytes(AText, Read, Extras);
    AList.insert(AList.end(), std::make_move_iterator(Read.begin()), std::make_move_iterator(Read.end()));
    if (AExtras)
        *AExtras = std::move(Extras);
}

bool LoadMonitorList(const std::string& AFileName, TMonitorList& AList, TMonitorListExtras* AExtras)
{
    // Without O_NONBLOCK opening a FIFO waits for a writer.
    TFileHandle File(::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (File.Get() < 0)
        return false;
    struct stat Info { };
    if (::fstat(File.Get(), &Info) != 0 || S_ISDIR(Info.st_mode))
        return false;
    if (!S_ISREG(Info.st_mode))
        throw EInOutError(5, AFileName + " is not a regular file");
    if (static_cast<uint64_t>(Info.st_size) > MaxMonitorListSize)
        throw EInOutError(5, AFileName + " is larger than 16 MiB, which no monitor list is");
    const std::string Bytes = ReadWhole(File.Get(), AFileName);
    ParseMonitorList(Bytes, AList, AExtras);
    return true;
}

std::string MonitorListText(const TMonitorList& AList, const TMonitorListExtras* AExtras)
{
    const TMonitorListExtras None;
    const TMonitorListExtras& Extras = AExtras ? *AExtras : None;
    const bool UTF16 = Extras.Encoding == leUTF16LE || Extras.Encoding == leUTF16BE;
    std::string Text = Extras.ByteOrderMark ? "\xEF\xBB\xBF" : "";
    const auto Put = [&](const std::string& ALine, const TStringList& AWindows1251) {
        if (!UTF16
            && (Extras.Encoding == leWindows1251
                || std::find(AWindows1251.begin(), AWindows1251.end(), ALine) != AWindows1251.end()))
            Text += ToWindows1251(ALine);
        else
            Text += ALine;
        Text += "\r\n";
    };
    const auto PutUnread = [&](size_t I) {
        for (const std::string& Line : Extras.UnreadBlocks[I])
            Put(Line, I < Extras.UnreadWindows1251.size() ? Extras.UnreadWindows1251[I] : TStringList());
        Text += "\r\n\r\n";
    };
    // Each unread block before the monitor it stood before; the rest after all.
    std::vector<bool> Written(Extras.UnreadBlocks.size(), false);
    std::unordered_map<const TServiceMonitor*, std::vector<size_t>> Before;
    for (size_t I = 0; I < Extras.UnreadBlocks.size(); ++I)
        if (I < Extras.UnreadBefore.size())
            if (const std::shared_ptr<TServiceMonitor> Next = Extras.UnreadBefore[I].lock())
                Before[Next.get()].push_back(I);
    for (const TMonitorEntry& Entry : AList) {
        if (!Entry.Monitor)
            continue;
        if (const auto Found = Before.find(Entry.Monitor.get()); Found != Before.end()) {
            for (const size_t I : Found->second)
                if (!Written[I]) {
                    PutUnread(I);
                    Written[I] = true;
                }
        }
        Put("Name=" + Entry.Name, Entry.Windows1251Lines);
        Put("Type=" + Entry.Monitor->TypeKey(), Entry.Windows1251Lines);
        for (const std::string& Line : Entry.Monitor->GetSettings())
            Put(Line, Entry.Windows1251Lines);
        for (const std::string& Line : Entry.ExtraLines)
            Put(Line, Entry.Windows1251Lines);
        Text += "\r\n\r\n";
    }
    for (size_t I = 0; I < Extras.UnreadBlocks.size(); ++I)
        if (!Written[I])
            PutUnread(I);
    // A first line that begins as a byte-order mark would be read back as one; an empty line
    // before it changes no block.
    const auto Starts = [&Text](std::string_view AMark) { return Text.compare(0, AMark.size(), AMark) == 0; };
    if (!UTF16 && !Extras.ByteOrderMark
        && (Starts("\xFF\xFE") || Starts("\xFE\xFF") || Starts("\xEF\xBB\xBF")))
        Text.insert(0, "\r\n");
    Text += Extras.Tail;
    if (!UTF16)
        return Text;
    return (Extras.Encoding == leUTF16LE ? "\xFF\xFE" : "\xFE\xFF") + ToUTF16(Text, Extras.Encoding);
}

void SaveMonitorList(
    const std::string& AFileName, const TMonitorList& AList, const TMonitorListExtras* AExtras)
{
    const std::string Text = MonitorListText(AList, AExtras);
    if (AFileName.empty())
        throw EInOutError::FromErrno(ENOENT);
    const std::string Target = FollowLinks(AFileName);
    const std::string Base = BaseNameOf(Target);
    if (Base.empty() || Base == "." || Base == "..")
        throw EInOutError::FromErrno(EISDIR);

    const std::string FolderName = DirectoryOf(Target);
    TFileHandle Folder(::open(FolderName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A folder the user may pass through but not list still holds files to write.
    if (Folder.Get() < 0 && errno == EACCES)
        Folder.Reset(::open(FolderName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (Folder.Get() < 0)
        RaiseLastError();

    // An existing list must be one the user may write, as a plain write would require:
    // replacing a read-only file by a new one would ignore what its mode says.
    struct stat Old { };
    TFileHandle OldFile;
    const bool Replacing = ::fstatat(Folder.Get(), Base.c_str(), &Old, AT_SYMLINK_NOFOLLOW) == 0;
    if (Replacing) {
        if (S_ISDIR(Old.st_mode))
            throw EInOutError::FromErrno(EISDIR);
        if (!S_ISREG(Old.st_mode))
            throw EInOutError(5, Target + " is not a regular file");
        OldFile.Reset(::openat(Folder.Get(), Base.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (OldFile.Get() < 0)
            RaiseLastError();
    } else if (errno != ENOENT) {
        RaiseLastError();
    }

    if (SaveByRename(Folder.Get(), Base, Text, Replacing ? &Old : nullptr))
        return;
    SaveInPlace(OldFile.Get(), Text);
    if (OldFile.Close() != 0)
        throw EInOutError(InOutErrorCode(errno),
            "the folder allows no new file, so the list was being written in place and may be incomplete");
}
