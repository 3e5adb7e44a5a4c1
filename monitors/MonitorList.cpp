#include "monitors/MonitorList.h"

#include "net/stack/NetStrings.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char CtrlZ = '\x1A';
constexpr const char* DefaultName = "LoadedFromConfig";

// Builds the block in hand and empties it; blocks the factory refuses are dropped silently.
void FlushBlock(TStringList& ABlock, TMonitorList& AList)
{
    if (std::unique_ptr<TServiceMonitor> Monitor = CreateMonitorFromSettings(ABlock)) {
        std::string Name;
        if (!FindSettingsValue(ABlock, "Name", Name))
            Name = DefaultName;
        AList.push_back({ std::move(Name), std::shared_ptr<TServiceMonitor>(std::move(Monitor)) });
    }
    ABlock.clear();
}

// Feeds bytes in and hands out complete, trimmed lines. A line ends at LF (a CR before it
// goes with the CR rule: every CR is dropped, so CR LF ends a line and a lone CR vanishes).
// Ctrl+Z ends the input.
class TLineReader {
public:
    TLineReader(TStringList& ABlock, TMonitorList& AList)
        : FBlock(ABlock)
        , FList(AList)
    {
    }

    // False once Ctrl+Z has been seen: nothing after it is read.
    bool Feed(const char* AData, size_t ACount)
    {
        for (size_t I = 0; I < ACount; ++I) {
            const char C = AData[I];
            if (C == '\n') {
                EndLine();
            } else if (C == CtrlZ) {
                Finish();
                return false;
            } else if (C != '\r') {
                FLine.push_back(C);
            }
        }
        return true;
    }

    // The text after the last line end is a line of its own when there is any; the last
    // block is built even without an empty line after it, so a hand-edited file loses
    // nothing.
    void Finish()
    {
        if (!FLine.empty())
            EndLine();
        if (!FBlock.empty())
            FlushBlock(FBlock, FList);
    }

private:
    void EndLine()
    {
        std::string Line = Trim(FLine);
        FLine.clear();
        if (FFirst) {
            FFirst = false;
            // A byte-order mark some editors put in front would spoil the first key.
            if (Line.rfind("\xEF\xBB\xBF", 0) == 0)
                Line = Trim(std::string_view(Line).substr(3));
        }
        if (Line.empty())
            FlushBlock(FBlock, FList);
        else
            FBlock.push_back(std::move(Line));
    }

    TStringList& FBlock;
    TMonitorList& FList;
    std::string FLine;
    bool FFirst = true;
};

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

// The file the name stands for: a symbolic link is followed, so that saving through it
// replaces its target and not the link.
std::string ResolveTarget(const std::string& AFileName)
{
    struct stat Info { };
    if (::lstat(AFileName.c_str(), &Info) == 0 && S_ISLNK(Info.st_mode)) {
        if (char* Real = ::realpath(AFileName.c_str(), nullptr)) {
            std::string Result(Real);
            std::free(Real);
            return Result;
        }
    }
    return AFileName;
}

// A new, empty file beside ATarget that no one else uses; the caller removes it on failure.
int CreateTemporary(const std::string& ATarget, std::string& ATempName)
{
    static std::atomic<unsigned> GCounter { 0 };
    const std::string Folder = DirectoryOf(ATarget);
    const size_t Slash = ATarget.rfind('/');
    const std::string Base = Slash == std::string::npos ? ATarget : ATarget.substr(Slash + 1);
    for (int Attempt = 0;; ++Attempt) {
        ATempName = Folder + "/." + Base + ".tmp" + IntToStr(::getpid()) + "-" + IntToStr(GCounter++);
        // 0666 and the umask: a new list gets what any newly created file would get.
        const int Handle = ::open(ATempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (Handle >= 0 || errno != EEXIST || Attempt >= 100)
            return Handle;
    }
}

void WriteAll(int AHandle, const std::string& AText)
{
    size_t Done = 0;
    while (Done < AText.size()) {
        const ssize_t Written = ::write(AHandle, AText.data() + Done, AText.size() - Done);
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            RaiseLastError();
        }
        Done += static_cast<size_t>(Written);
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

EInOutError EInOutError::FromErrno(int AErrno)
{
    return EInOutError(InOutErrorCode(AErrno));
}

void ParseMonitorList(const std::string& AText, TMonitorList& AList)
{
    TStringList Block;
    TLineReader Reader(Block, AList);
    if (Reader.Feed(AText.data(), AText.size()))
        Reader.Finish();
}

bool LoadMonitorList(const std::string& AFileName, TMonitorList& AList)
{
    TFileHandle File(::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (File.Get() < 0)
        return false;
    struct stat Info { };
    if (::fstat(File.Get(), &Info) != 0 || S_ISDIR(Info.st_mode))
        return false;

    TStringList Block;
    TLineReader Reader(Block, AList);
    char Buffer[65536];
    for (;;) {
        const ssize_t Count = ::read(File.Get(), Buffer, sizeof(Buffer));
        if (Count < 0) {
            if (errno == EINTR)
                continue;
            RaiseLastError();
        }
        if (Count == 0) {
            Reader.Finish();
            break;
        }
        if (!Reader.Feed(Buffer, static_cast<size_t>(Count)))
            break;
    }
    return true;
}

std::string MonitorListText(const TMonitorList& AList)
{
    std::string Text;
    for (const TMonitorEntry& Entry : AList) {
        if (!Entry.Monitor)
            continue;
        Text += "Name=" + Entry.Name + "\r\n";
        Text += "Type=" + Entry.Monitor->TypeKey() + "\r\n";
        for (const std::string& Line : Entry.Monitor->GetSettings())
            Text += Line + "\r\n";
        Text += "\r\n\r\n";
    }
    return Text;
}

void SaveMonitorList(const std::string& AFileName, const TMonitorList& AList)
{
    const std::string Text = MonitorListText(AList);
    if (AFileName.empty())
        throw EInOutError::FromErrno(ENOENT);
    const std::string Target = ResolveTarget(AFileName);

    struct stat Old { };
    bool Replacing = false;
    if (::stat(Target.c_str(), &Old) == 0) {
        if (S_ISDIR(Old.st_mode))
            throw EInOutError::FromErrno(EISDIR);
        Replacing = true;
    } else if (errno != ENOENT) {
        RaiseLastError();
    }

    std::string TempName;
    TFileHandle File(CreateTemporary(Target, TempName));
    if (File.Get() < 0)
        RaiseLastError();
    try {
        WriteAll(File.Get(), Text);
        if (Replacing) {
            // Keeps a file that root saves for someone else theirs; failing that is no reason
            // to refuse the save. Owner first: a change of owner clears the set-id bits.
            if (Old.st_uid != ::geteuid() || Old.st_gid != ::getegid())
                (void)!::fchown(File.Get(), Old.st_uid, Old.st_gid);
            if (::fchmod(File.Get(), Old.st_mode & 07777) != 0)
                RaiseLastError();
        }
        if (::fsync(File.Get()) != 0)
            RaiseLastError();
        if (File.Close() != 0)
            RaiseLastError();
        if (::rename(TempName.c_str(), Target.c_str()) != 0)
            RaiseLastError();
    } catch (...) {
        File.Close();
        ::unlink(TempName.c_str());
        throw;
    }

    // The rename itself reaches the disk with the folder; a failure here leaves a complete
    // file either way, so it is not reported.
    TFileHandle Folder(::open(DirectoryOf(Target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Folder.Get() >= 0)
        (void)::fsync(Folder.Get());
}
