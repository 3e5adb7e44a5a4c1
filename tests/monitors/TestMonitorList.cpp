#include "monitors/MonitorList.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// "name|type|settings lines joined by ;" per monitor, for compact expectations.
std::vector<std::string> Describe(const TMonitorList& AList)
{
    std::vector<std::string> Result;
    for (const TMonitorEntry& Entry : AList) {
        std::string Text = Entry.Name + "|" + Entry.Monitor->TypeKey() + "|";
        for (const std::string& Line : Entry.Monitor->GetSettings())
            Text += Line + ";";
        Result.push_back(Text);
    }
    return Result;
}

std::vector<std::string> Parse(const std::string& AText)
{
    TMonitorList List;
    ParseMonitorList(AText, List);
    return Describe(List);
}

struct TParseCase {
    const char* Name;
    std::string Text;
    std::vector<std::string> Expected;
};

const char* const PingA = "A|PingMonitor|Interval=5;IP=127.0.0.1;Retry=3;";
const char* const WebB = "B|WebMonitor|Interval=0;URL=http://b/;";

TEST(MonitorListParse, Table)
{
    const TParseCase Cases[] = {
        { "empty text", "", {} },
        { "only empty lines", "\r\n \r\n\t\r\n", {} },
        { "one block, CR LF", "Name=A\r\nType=PingMonitor\r\nInterval=5\r\n\r\n", { PingA } },
        { "one block, LF", "Name=A\nType=PingMonitor\nInterval=5\n\n", { PingA } },
        { "last block without an empty line", "Name=A\r\nType=PingMonitor\r\nInterval=5\r\n", { PingA } },
        { "last block without a line end", "Name=A\r\nType=PingMonitor\r\nInterval=5", { PingA } },
        { "one empty line between",
            "Name=A\nType=PingMonitor\nInterval=5\n\nName=B\nType=WebMonitor\nURL=http://b/\n",
            { PingA, WebB } },
        { "five empty lines between",
            "Name=A\nType=PingMonitor\nInterval=5\n\n\n\n\n\nName=B\nType=WebMonitor\nURL=http://b/\n\n",
            { PingA, WebB } },
        { "lines of blanks between",
            "Name=A\nType=PingMonitor\nInterval=5\n   \n\t\nName=B\nType=WebMonitor\nURL=http://b/\n\n",
            { PingA, WebB } },
        { "no blank line means one block",
            "Name=A\nType=PingMonitor\nInterval=5\nName=B\nType=WebMonitor\nURL=http://b/\n\n",
            { "A|PingMonitor|Interval=5;IP=127.0.0.1;Retry=3;" } },
        { "a lone CR is dropped", "Name=A\rB\r\nType=Ping\rMonitor\r\n\r\n",
            { "AB|PingMonitor|Interval=0;IP=127.0.0.1;Retry=3;" } },
        { "Ctrl+Z ends the file",
            "Name=A\r\nType=PingMonitor\r\nInterval=5\r\n\r\n\x1AName=B\r\nType=WebMonitor\r\n\r\n",
            { PingA } },
        { "Ctrl+Z inside a block ends it", "Name=A\r\nType=PingMonitor\r\nInterval=5\x1A\r\n9\r\n",
            { PingA } },
        { "lines are trimmed", "  Name=A  \r\n\tType=PingMonitor \r\n Interval=5\x01\r\n\r\n", { PingA } },
        { "no name", "Type=WebMonitor\n\nType=WebMonitor\n\n",
            { "LoadedFromConfig|WebMonitor|Interval=0;URL=http://127.0.0.1/;",
                "LoadedFromConfig|WebMonitor|Interval=0;URL=http://127.0.0.1/;" } },
        { "empty name", "Name=\nType=WebMonitor\n\n", { "|WebMonitor|Interval=0;URL=http://127.0.0.1/;" } },
        { "blanks around = spoil the name", "Name = A\nType=WebMonitor\n\n",
            { "LoadedFromConfig|WebMonitor|Interval=0;URL=http://127.0.0.1/;" } },
        { "unknown types are skipped",
            "Name=X\nType=Ping\n\nName=Y\nType=webmonitor\n\nName=A\nType=PingMonitor\nInterval=5\n\n",
            { PingA } },
        { "block without a type is skipped", "Name=X\nInterval=5\n\nName=A\nType=PingMonitor\nInterval=5\n",
            { PingA } },
        { "other keys and lines without = are ignored",
            "Name=A\nColour=red\njust text\nType=PingMonitor\nInterval=5\n\n", { PingA } },
        { "byte-order mark", "\xEF\xBB\xBFName=A\nType=PingMonitor\nInterval=5\n", { PingA } },
        { "UTF-8 names", "Name=Шлюз №1\nType=PingMonitor\n\n",
            { "Шлюз №1|PingMonitor|Interval=0;IP=127.0.0.1;Retry=3;" } },
    };
    for (const TParseCase& Case : Cases)
        EXPECT_EQ(Parse(Case.Text), Case.Expected) << Case.Name;
}

TMonitorList SampleList()
{
    TMonitorList List;
    auto Router = std::make_shared<TPingMonitor>();
    Router->SetInterval(60);
    List.push_back({ "Router", Router });
    auto Site = std::make_shared<TWebMonitor>();
    Site->SetInterval(-1);
    Site->SetURL("https://127.0.0.1:8443/path?q=1=2");
    List.push_back({ "Главный сайт", Site });
    auto Dns = std::make_shared<TPingMonitor>();
    Dns->SetIP("dns.local");
    Dns->SetRetry(0);
    List.push_back({ "Router", Dns });
    List.push_back({ "no monitor", nullptr });
    return List;
}

TEST(MonitorListText, BytesAsWritten)
{
    EXPECT_EQ(MonitorListText(SampleList()),
        "Name=Router\r\nType=PingMonitor\r\nInterval=60\r\nIP=127.0.0.1\r\nRetry=3\r\n\r\n\r\n"
        "Name=Главный сайт\r\nType=WebMonitor\r\nInterval=-1\r\nURL=https://127.0.0.1:8443/path?q=1=2\r\n"
        "\r\n\r\n"
        "Name=Router\r\nType=PingMonitor\r\nInterval=0\r\nIP=dns.local\r\nRetry=0\r\n\r\n\r\n");
    EXPECT_EQ(MonitorListText({}), "");
}

TEST(MonitorListText, ReadsBackUnchanged)
{
    const TMonitorList List = SampleList();
    TMonitorList Back;
    ParseMonitorList(MonitorListText(List), Back);
    TMonitorList Expected(List.begin(), List.end() - 1);
    EXPECT_EQ(Describe(Back), Describe(Expected));
    for (const TMonitorEntry& Entry : Back)
        EXPECT_EQ(Entry.Monitor->Status(), msNone);
}

struct TCodeCase {
    int32_t Code;
    const char* Text;
};

TEST(InOutError, Texts)
{
    const TCodeCase Cases[] = {
        { 2, "File not found" },
        { 3, "Invalid filename" },
        { 4, "Too many open files" },
        { 5, "File access denied" },
        { 100, "Read beyond end of file" },
        { 101, "Disk full" },
        { 106, "Invalid numeric input" },
        { 21, "I/O error 21" },
        { 0, "I/O error 0" },
    };
    for (const TCodeCase& Case : Cases) {
        EXPECT_EQ(InOutErrorText(Case.Code), Case.Text);
        EInOutError Error(Case.Code);
        EXPECT_EQ(Error.ErrorCode, Case.Code);
        EXPECT_STREQ(Error.what(), Case.Text);
    }
}

TEST(InOutError, ErrnoCodes)
{
    const std::pair<int, int32_t> Cases[] = {
        { ENOENT, 2 },
        { ENAMETOOLONG, 3 },
        { EINVAL, 3 },
        { EMFILE, 4 },
        { ENFILE, 4 },
        { EACCES, 5 },
        { EPERM, 5 },
        { EROFS, 5 },
        { ENOSPC, 101 },
        { EDQUOT, 101 },
        { EISDIR, 5 },
        { EXDEV, EXDEV },
    };
    for (const auto& [Errno, Code] : Cases)
        EXPECT_EQ(InOutErrorCode(Errno), Code) << Errno;
    EXPECT_EQ(EInOutError::FromErrno(ENOSPC).Message(), "Disk full");
}

std::string ReadFile(const std::string& AName)
{
    std::ifstream File(AName, std::ios::binary);
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

void WriteFile(const std::string& AName, const std::string& AText)
{
    std::ofstream File(AName, std::ios::binary | std::ios::trunc);
    File << AText;
}

std::vector<std::string> FolderNames(const std::string& AFolder)
{
    std::vector<std::string> Names;
    if (DIR* Dir = ::opendir(AFolder.c_str())) {
        while (dirent* Entry = ::readdir(Dir)) {
            const std::string Name = Entry->d_name;
            if (Name != "." && Name != "..")
                Names.push_back(Name);
        }
        ::closedir(Dir);
    }
    std::sort(Names.begin(), Names.end());
    return Names;
}

mode_t ModeOf(const std::string& AName)
{
    struct stat Info { };
    EXPECT_EQ(::stat(AName.c_str(), &Info), 0) << AName;
    return Info.st_mode & 07777;
}

class TFolderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(FFolder.empty()); }
    // Before the folder goes with FTemp.
    void TearDown() override
    {
        if (FMounted)
            ::umount2(FFolder.c_str(), MNT_DETACH);
    }
    std::string Path(const std::string& AName) const { return FFolder + "/" + AName; }

    // A tmpfs of its own, so that "disk full" and "read-only" are real. Root may mount; a
    // container without that capability skips these cases.
    bool MountTmpfs(const char* AOptions)
    {
        if (::mount("tmpfs", FFolder.c_str(), "tmpfs", 0, AOptions) != 0)
            return false;
        FMounted = true;
        return true;
    }
    bool RemountReadOnly()
    {
        return ::mount("tmpfs", FFolder.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

    const testsupport::TTempFolder FTemp { "vardex-list" };
    const std::string FFolder = FTemp.Path();
    bool FMounted = false;
};

TEST_F(TFolderTest, MissingFileOrFolderCannotBeOpened)
{
    TMonitorList List = SampleList();
    EXPECT_FALSE(LoadMonitorList(Path("missing.cfg"), List));
    EXPECT_FALSE(LoadMonitorList(FFolder, List));
    EXPECT_FALSE(LoadMonitorList("", List));
    EXPECT_EQ(List.size(), 4u);
}

TEST_F(TFolderTest, LoadAppendsInFileOrder)
{
    WriteFile(Path("a.cfg"),
        "Name=A\r\nType=PingMonitor\r\nInterval=5\r\n\r\nName=B\nType=WebMonitor\nURL=http://b/");
    TMonitorList List;
    List.push_back({ "first", std::make_shared<TWebMonitor>() });
    ASSERT_TRUE(LoadMonitorList(Path("a.cfg"), List));
    ASSERT_EQ(List.size(), 3u);
    EXPECT_EQ(Describe(List)[1], PingA);
    EXPECT_EQ(Describe(List)[2], WebB);

    TMonitorList Empty;
    WriteFile(Path("empty.cfg"), "");
    EXPECT_TRUE(LoadMonitorList(Path("empty.cfg"), Empty));
    EXPECT_TRUE(Empty.empty());
}

TEST_F(TFolderTest, LongFileAcrossManyReads)
{
    std::string Text;
    for (int I = 0; I < 3000; ++I)
        Text += "Name=M" + std::to_string(I) + "\r\nType=WebMonitor\r\nURL=http://h/" + std::string(40, 'x')
            + "\r\n\r\n";
    WriteFile(Path("long.cfg"), Text);
    TMonitorList List;
    ASSERT_TRUE(LoadMonitorList(Path("long.cfg"), List));
    ASSERT_EQ(List.size(), 3000u);
    EXPECT_EQ(List[2999].Name, "M2999");
}

TEST(MonitorListLoad, ReadErrorAfterOpenRaises)
{
    // Reading this process's memory file from offset 0 opens fine and fails on read (EIO).
    TMonitorList List;
    try {
        LoadMonitorList("/proc/self/mem", List);
        FAIL() << "no error";
    } catch (const EInOutError& Error) {
        EXPECT_EQ(Error.ErrorCode, InOutErrorCode(EIO));
    }
    EXPECT_TRUE(List.empty());
}

TEST_F(TFolderTest, SaveAndLoadRoundTrip)
{
    const TMonitorList List = SampleList();
    SaveMonitorList(Path("default.cfg"), List);
    EXPECT_EQ(ReadFile(Path("default.cfg")), MonitorListText(List));
    EXPECT_EQ(FolderNames(FFolder), std::vector<std::string> { "default.cfg" });

    TMonitorList Back;
    ASSERT_TRUE(LoadMonitorList(Path("default.cfg"), Back));
    EXPECT_EQ(Describe(Back), Describe(TMonitorList(List.begin(), List.end() - 1)));

    // Saved again, the file is byte for byte the same.
    SaveMonitorList(Path("default.cfg"), Back);
    EXPECT_EQ(ReadFile(Path("default.cfg")), MonitorListText(List));
}

TEST_F(TFolderTest, SaveReplacesAndKeepsPermissions)
{
    WriteFile(Path("list.cfg"), "old contents that are longer than the new ones will be, by far, surely\n");
    ASSERT_EQ(::chmod(Path("list.cfg").c_str(), 0640), 0);
    TMonitorList List;
    List.push_back({ "A", std::make_shared<TWebMonitor>() });
    SaveMonitorList(Path("list.cfg"), List);
    EXPECT_EQ(ReadFile(Path("list.cfg")), MonitorListText(List));
    EXPECT_EQ(ModeOf(Path("list.cfg")), 0640u);

    // A new file gets what the umask allows.
    const mode_t Mask = ::umask(022);
    SaveMonitorList(Path("new.cfg"), List);
    ::umask(Mask);
    EXPECT_EQ(ModeOf(Path("new.cfg")), 0644u);
}

// A list made private stays so while it is saved: the new file has the old one's mode before
// a byte of it is written.
TEST_F(TFolderTest, SaveNarrowsTheModeBeforeItWrites)
{
    WriteFile(Path("list.cfg"), "URL=http://u:secret@h/\r\n");
    ASSERT_EQ(::chmod(Path("list.cfg").c_str(), 0600), 0);
    const int Watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(Watch, FFolder.c_str(), IN_MODIFY | IN_ATTRIB), 0);
    SaveMonitorList(Path("list.cfg"), SampleList());
    std::string Done; // what happened to the temporary file: "a" its mode set, "w" a write
    alignas(inotify_event) char Events[65536];
    const ssize_t Length = ::read(Watch, Events, sizeof Events);
    for (const inotify_event* E = reinterpret_cast<inotify_event*>(Events);
         Length > 0 && reinterpret_cast<const char*>(E) < Events + Length;
         E = reinterpret_cast<const inotify_event*>(reinterpret_cast<const char*>(E + 1) + E->len))
        if (E->len > 0 && std::string(E->name).rfind(".vardex-", 0) == 0)
            Done += E->mask & IN_ATTRIB ? "a" : "w";
    ::close(Watch);
    EXPECT_EQ(Done.substr(0, 2), "aw");
}

TEST_F(TFolderTest, SaveThroughALinkReplacesItsTarget)
{
    WriteFile(Path("real.cfg"), "old");
    ASSERT_EQ(::symlink("real.cfg", Path("link.cfg").c_str()), 0);
    TMonitorList List;
    List.push_back({ "A", std::make_shared<TPingMonitor>() });
    SaveMonitorList(Path("link.cfg"), List);
    struct stat Info { };
    ASSERT_EQ(::lstat(Path("link.cfg").c_str(), &Info), 0);
    EXPECT_TRUE(S_ISLNK(Info.st_mode));
    EXPECT_EQ(ReadFile(Path("real.cfg")), MonitorListText(List));
}

TEST_F(TFolderTest, SaveErrors)
{
    TMonitorList List = SampleList();
    try {
        SaveMonitorList(Path("no/such/folder.cfg"), List);
        FAIL() << "no error";
    } catch (const EInOutError& Error) {
        EXPECT_STREQ(Error.what(), "File not found");
    }
    EXPECT_THROW(SaveMonitorList("", List), EInOutError);
    try {
        SaveMonitorList(FFolder, List);
        FAIL() << "no error";
    } catch (const EInOutError& Error) {
        EXPECT_STREQ(Error.what(), "File access denied");
    }
    try {
        SaveMonitorList(Path(std::string(300, 'n')), List);
        FAIL() << "no error";
    } catch (const EInOutError& Error) {
        EXPECT_STREQ(Error.what(), "Invalid filename");
    }
    EXPECT_TRUE(FolderNames(FFolder).empty());
}

TEST_F(TFolderTest, FullDiskLeavesTheOldFileIntact)
{
    if (!MountTmpfs("size=64k"))
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "); needs root";
    const std::string Old
        = "Name=Old\r\nType=PingMonitor\r\nInterval=1\r\nIP=127.0.0.1\r\nRetry=3\r\n\r\n\r\n";
    WriteFile(Path("default.cfg"), Old);
    ASSERT_EQ(::chmod(Path("default.cfg").c_str(), 0600), 0);

    TMonitorList Big;
    for (int I = 0; I < 200; ++I) {
        auto Web = std::make_shared<TWebMonitor>();
        Web->SetURL("http://127.0.0.1/" + std::string(1000, 'a'));
        Big.push_back({ "Web " + std::to_string(I), Web });
    }
    try {
        SaveMonitorList(Path("default.cfg"), Big);
        FAIL() << "a 200 KB list fitted into 64 KB";
    } catch (const EInOutError& Error) {
        EXPECT_EQ(Error.ErrorCode, 101);
        EXPECT_STREQ(Error.what(), "Disk full");
    }
    EXPECT_EQ(ReadFile(Path("default.cfg")), Old);
    EXPECT_EQ(ModeOf(Path("default.cfg")), 0600u);
    EXPECT_EQ(FolderNames(FFolder), std::vector<std::string> { "default.cfg" });

    // Once the list fits, the same file is replaced.
    Big.resize(3);
    SaveMonitorList(Path("default.cfg"), Big);
    EXPECT_EQ(ReadFile(Path("default.cfg")), MonitorListText(Big));
}

TEST_F(TFolderTest, ReadOnlyDiskLeavesTheOldFileIntact)
{
    if (!MountTmpfs("size=64k"))
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "); needs root";
    WriteFile(Path("default.cfg"), "old");
    ASSERT_TRUE(RemountReadOnly()) << std::strerror(errno);
    try {
        SaveMonitorList(Path("default.cfg"), SampleList());
        FAIL() << "wrote to a read-only disk";
    } catch (const EInOutError& Error) {
        EXPECT_STREQ(Error.what(), "File access denied");
    }
    EXPECT_EQ(ReadFile(Path("default.cfg")), "old");
}

// What the reader does not understand survives a load and a save: a block of an unknown
// type, a block without a type, other keys, comment lines, everything after a Ctrl+Z.
TEST(MonitorListExtras, KeptAndWrittenBack)
{
    const std::string Text
        = "Name=A\r\nType=pingmonitor\r\nIP=10.0.0.1\r\n\r\n"
          "Name=B\r\nOwner=bob\r\n# watched by ops\r\nType=PingMonitor\r\nIP=b\r\nIP=c\r\n\r\n"
          "; a comment of its own\r\n\r\n"
          "Name=C\r\nType=WebMonitor\r\nURL=http://c/\r\n\r\n"
          "\x1AName=D\r\nType=WebMonitor\r\n\r\nName=E\r\n";
    TMonitorList List;
    TMonitorListExtras Extras;
    ParseMonitorList(Text, List, &Extras);
    ASSERT_EQ(List.size(), 2u);
    EXPECT_EQ(List[0].ExtraLines, (TStringList { "Owner=bob", "# watched by ops", "IP=c" }));
    // The comment block is no block not understood.
    EXPECT_EQ(Extras.UnreadCount, 3);
    // Each unread block stays before the monitor it stood before.
    const std::string Written = MonitorListText(List, &Extras);
    EXPECT_EQ(Written,
        "Name=A\r\nType=pingmonitor\r\nIP=10.0.0.1\r\n\r\n\r\n"
        "Name=B\r\nType=PingMonitor\r\nInterval=0\r\nIP=b\r\nRetry=3\r\nOwner=bob\r\n# watched by "
        "ops\r\nIP=c\r\n"
        "\r\n\r\n"
        "; a comment of its own\r\n\r\n\r\n"
        "Name=C\r\nType=WebMonitor\r\nInterval=0\r\nURL=http://c/\r\n\r\n\r\n"
        "\x1AName=D\r\nType=WebMonitor\r\n\r\nName=E\r\n");
    TMonitorList Again;
    TMonitorListExtras AgainExtras;
    ParseMonitorList(Written, Again, &AgainExtras);
    EXPECT_EQ(MonitorListText(Again, &AgainExtras), Written);
    EXPECT_EQ(AgainExtras.UnreadCount, 3);
    // A comment before a monitor that is gone goes after the rest.
    List.erase(List.begin());
    EXPECT_EQ(MonitorListText(List, &Extras).find("; a comment"), 0u);
}

// Every problem the reader reports, with its line, block, key, value and reason.
TEST(MonitorListProblems, OneRowEach)
{
    struct TCase {
        const char* Name;
        const char* Text;
        TListProblem Expected; // Line 0: no problem
    };
    const TCase Cases[] = {
        { "no type", "# head\nName=R\nIP=1\n",
            { 2, "R", "Type", "", "no Type line, so the block makes no monitor" } },
        { "letter case", "Name=R\ntype=pingmonitor\n",
            { 2, "R", "Type", "pingmonitor",
                "Type \"pingmonitor\" is not a kind of monitor; did you mean PingMonitor?" } },
        { "unknown type", "Type=Mail\n",
            { 1, "", "Type", "Mail",
                "Type \"Mail\" is not a kind of monitor (PingMonitor, WebMonitor, TcpMonitor, "
                "DnsMonitor)" } },
        { "mistyped key", "Name=W\nType=WebMonitor\nTimout=5\n",
            { 3, "W", "Timout", "5", "Timout: a WebMonitor has no such key; did you mean Timeout?" } },
        { "foreign key", "Name=P\nType=PingMonitor\nColour=red\n",
            { 3, "P", "Colour", "red", "Colour: a PingMonitor has no such key" } },
        { "bad value", "\n\nName=T\nType=TcpMonitor\nPort=99999\n",
            { 5, "T", "Port", "99999",
                "Port \"99999\" is not between 1 and 65535. The monitor is not checked." } },
        { "no equals", "Name=P\nType=PingMonitor\nretry 3\n",
            { 3, "P", "", "retry 3", "\"retry 3\" is neither Key=Value nor a comment (# or ; first)" } },
        { "comments only", "# one\n; two\n\nName=P\nType=PingMonitor\n# note\n", {} },
        { "key in any case", "name=P\nTYPE=PingMonitor\nip=1\n", {} },
    };
    for (const TCase& Case : Cases) {
        TMonitorList List;
        TMonitorListExtras Extras;
        ParseMonitorList(Case.Text, List, &Extras);
        if (Case.Expected.Line == 0) {
            EXPECT_TRUE(Extras.Problems.empty()) << Case.Name;
            EXPECT_EQ(Extras.UnreadCount, 0) << Case.Name;
            continue;
        }
        ASSERT_EQ(Extras.Problems.size(), 1u) << Case.Name;
        const TListProblem& Got = Extras.Problems[0];
        EXPECT_EQ(Got.Line, Case.Expected.Line) << Case.Name;
        EXPECT_EQ(Got.Block, Case.Expected.Block) << Case.Name;
        EXPECT_EQ(Got.Key, Case.Expected.Key) << Case.Name;
        EXPECT_EQ(Got.Value, Case.Expected.Value) << Case.Name;
        EXPECT_EQ(Got.Reason, Case.Expected.Reason) << Case.Name;
    }
    EXPECT_EQ(ListProblemText("l.cfg", { 3, "W", "", "", "why" }), "l.cfg:3: block \"W\": why");
    EXPECT_EQ(ListProblemText("l.cfg", { 1, "", "", "", "why" }), "l.cfg:1: why");
}

struct TEncodingCase {
    const char* Name;
    std::string Bytes;
    bool ValidUTF8;
};

TEST(ListEncoding, UTF8IsCheckedStrictly)
{
    const TEncodingCase Cases[] = {
        { "ASCII", "Name=A", true },
        { "Cyrillic", "Шлюз", true },
        { "four bytes", "\xF0\x9F\x98\x80", true },
        { "overlong", "\xC0\x80", false },
        { "surrogate", "\xED\xA0\x80", false },
        { "past U+10FFFF", "\xF4\x90\x80\x80", false },
        { "cut off", "\xD0", false },
        { "Windows-1251", "\xD8\xEB\xFE\xE7", false },
    };
    for (const TEncodingCase& Case : Cases)
        EXPECT_EQ(IsValidUTF8(Case.Bytes), Case.ValidUTF8) << Case.Name;
}

TEST(ListEncoding, Windows1251BothWays)
{
    std::string All;
    for (int Byte = 0; Byte < 256; ++Byte)
        All += static_cast<char>(Byte);
    const std::string Decoded = FromWindows1251(All);
    EXPECT_TRUE(IsValidUTF8(Decoded));
    EXPECT_EQ(FromWindows1251("\xC0\xE0\xA8\xB8\x88\xB9\x98"), "АаЁё€№\u0098");
    EXPECT_EQ(ToWindows1251(Decoded), All);
    try {
        ToWindows1251("Name=中");
        FAIL() << "no error";
    } catch (const EListEncodingError& Error) {
        EXPECT_NE(std::string(Error.what()).find("\"中\""), std::string::npos) << Error.what();
    }
}

// A list in Windows-1251, as the program writes it, loads with its Russian text readable and
// is written back byte for byte, the undefined byte 0x98 included.
TEST(ListEncoding, Windows1251ListRoundTrip)
{
    const std::string Bytes
        = "Name=\xD8\xEB\xFE\xE7 \xB9"
          "1\r\nType=WebMonitor\r\nInterval=30\r\n"
          "URL=http://127.0.0.1/\xEF\xF3\xF2\xFC?\x98\r\n\r\n\r\n"
          "Name=\xD0\xEE\xF3\xF2\xE5\xF0\r\nType=PingMonitor\r\nInterval=0\r\nIP=127.0.0.1\r\n"
          "Retry=3\r\n\r\n\r\n";
    TMonitorList List;
    TMonitorListExtras Extras;
    ParseMonitorList(Bytes, List, &Extras);
    EXPECT_EQ(Extras.Encoding, leWindows1251);
    ASSERT_EQ(List.size(), 2u);
    EXPECT_EQ(List[0].Name, "Шлюз №1");
    EXPECT_EQ(List[1].Name, "Роутер");
    EXPECT_EQ(MonitorListText(List, &Extras), Bytes);
    // A name typed later that the code page cannot hold stops the save before it starts.
    List[1].Name = "Router ✓";
    EXPECT_THROW(MonitorListText(List, &Extras), EListEncodingError);
}

// ASCII text as UTF-16 with its byte-order mark; "Ш" (U+0428) wherever "#" stands.
std::string UTF16(const std::string& AText, bool ABigEndian)
{
    std::string Bytes = ABigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char C : AText) {
        const std::string Unit = C == '#' ? std::string("\x04\x28", 2) : std::string(1, '\0') + C;
        Bytes += ABigEndian ? Unit : std::string { Unit[1], Unit[0] };
    }
    return Bytes;
}

const std::string Gateway = "Name=#\r\nType=PingMonitor\r\nInterval=5\r\nIP=127.0.0.1\r\nRetry=3\r\n\r\n\r\n";

// Lists as other editors save them: each is read whole, says how many of its lines were
// Windows-1251, and is written back byte for byte where it had CR LF line ends.
TEST(ListEncoding, ListsOfOtherEditors)
{
    const struct {
        const char* Name;
        std::string Bytes;
        std::string Names; // the monitors' names, "|" after each
        TListEncoding Encoding;
        int Windows1251;
        std::string Written; // empty: the bytes read
    } Cases[] = {
        { "a stray byte in a comment",
            "Name=Шлюз\r\nType=PingMonitor\r\nInterval=0\r\nIP=127.0.0.1\r\nRetry=3\r\n# caf\xE9\r\n\r\n\r\n",
            "Шлюз|", leUTF8, 1, "" },
        { "UTF-8 and Windows-1251 lines",
            "Name=\xD8\xEB\xFE\xE7\r\nType=PingMonitor\r\nInterval=0\r\nIP=Шлюз\r\nRetry=3\r\n\r\n\r\n",
            "Шлюз|", leUTF8, 1, "" },
        { "UTF-16 LE", UTF16(Gateway, false), "Ш|", leUTF16LE, 0, "" },
        { "UTF-16 BE", UTF16(Gateway, true), "Ш|", leUTF16BE, 0, "" },
        { "CR alone", "Name=A\rType=PingMonitor\r\rName=B\rType=PingMonitor", "A|B|", leUTF8, 0,
            "Name=A\r\nType=PingMonitor\r\nInterval=0\r\nIP=127.0.0.1\r\nRetry=3\r\n\r\n\r\n"
            "Name=B\r\nType=PingMonitor\r\nInterval=0\r\nIP=127.0.0.1\r\nRetry=3\r\n\r\n\r\n" },
    };
    for (const auto& Case : Cases) {
        TMonitorList List;
        TMonitorListExtras Extras;
        ParseMonitorList(Case.Bytes, List, &Extras);
        std::string Names;
        for (const TMonitorEntry& Entry : List)
            Names += Entry.Name + "|";
        EXPECT_EQ(Names, Case.Names) << Case.Name;
        EXPECT_EQ(Extras.Encoding, Case.Encoding) << Case.Name;
        EXPECT_EQ(Extras.Windows1251Count, Case.Windows1251) << Case.Name;
        EXPECT_EQ(MonitorListText(List, &Extras), Case.Written.empty() ? Case.Bytes : Case.Written)
            << Case.Name;
    }
    // New lines of a list with UTF-8 text are UTF-8; the old ones keep their encoding.
    TMonitorList List;
    TMonitorListExtras Extras;
    ParseMonitorList(Cases[1].Bytes, List, &Extras);
    List.push_back({ "Новый", std::make_shared<TPingMonitor>() });
    EXPECT_EQ(MonitorListText(List, &Extras).substr(Cases[1].Bytes.size(), 17), "Name=Новый\r\n");
    // UTF-32, an odd length, a surrogate without its pair.
    for (const std::string& Bytes : { std::string("\xFF\xFE\0\0N\0\0\0", 8), std::string("\xFF\xFEN\0a"),
             std::string("\xFE\xFF\xD8\0\0A", 6) })
        EXPECT_THROW(ParseMonitorList(Bytes, List), EListEncodingError);
}

TEST_F(TFolderTest, NotARegularFileOrTooLargeIsRefused)
{
    ASSERT_EQ(::mkfifo(Path("fifo.cfg").c_str(), 0600), 0);
    WriteFile(Path("big.cfg"), "");
    ASSERT_EQ(::truncate(Path("big.cfg").c_str(), MaxMonitorListSize + 1), 0);
    const std::pair<std::string, const char*> Cases[] = {
        { Path("fifo.cfg"), "is not a regular file" },
        { "/dev/zero", "is not a regular file" },
        { Path("big.cfg"), "is larger than 16 MiB" },
    };
    for (const auto& [Name, Reason] : Cases) {
        TMonitorList List;
        try {
            LoadMonitorList(Name, List);
            ADD_FAILURE() << Name << " was read";
        } catch (const EInOutError& Error) {
            EXPECT_NE(std::string(Error.what()).find(Reason), std::string::npos) << Error.what();
        }
        EXPECT_TRUE(List.empty());
    }
    // Exactly the limit still loads.
    ASSERT_EQ(::truncate(Path("big.cfg").c_str(), MaxMonitorListSize), 0);
    TMonitorList List;
    EXPECT_TRUE(LoadMonitorList(Path("big.cfg"), List));
    EXPECT_THROW(SaveMonitorList(Path("fifo.cfg"), SampleList()), EInOutError);
}

TEST_F(TFolderTest, LongestFileName)
{
    const std::string Name = Path(std::string(251, 'n') + ".cfg");
    SaveMonitorList(Name, SampleList());
    SaveMonitorList(Name, SampleList());
    EXPECT_EQ(ReadFile(Name), MonitorListText(SampleList()));
    EXPECT_EQ(FolderNames(FFolder), std::vector<std::string> { std::string(251, 'n') + ".cfg" });
}

constexpr uid_t KUser = 4711;
constexpr gid_t KGroup = 4711;

// Runs AWork in a child process as the ordinary user KUser (this test runs as root); returns
// "" when it succeeded, else what it raised.
std::string AsUser(const std::function<void()>& AWork)
{
    int Pipe[2];
    if (::pipe(Pipe) != 0)
        return "no pipe";
    const pid_t Child = ::fork();
    if (Child == 0) {
        ::close(Pipe[0]);
        std::string Result;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(KGroup, KGroup, KGroup) != 0
            || ::setresuid(KUser, KUser, KUser) != 0) {
            Result = "cannot become the test user";
        } else {
            try {
                AWork();
            } catch (const std::exception& Error) {
                Result = Error.what();
            }
        }
        (void)!::write(Pipe[1], Result.data(), Result.size());
        ::_exit(0);
    }
    ::close(Pipe[1]);
    std::string Result;
    char Buffer[512];
    ssize_t Count;
    while ((Count = ::read(Pipe[0], Buffer, sizeof(Buffer))) > 0)
        Result.append(Buffer, static_cast<size_t>(Count));
    ::close(Pipe[0]);
    ::waitpid(Child, nullptr, 0);
    return Result;
}

struct TOwner {
    uid_t Uid;
    gid_t Gid;
    mode_t Mode;
    bool operator==(const TOwner&) const = default;
};

TOwner OwnerOf(const std::string& AName)
{
    struct stat Info { };
    EXPECT_EQ(::lstat(AName.c_str(), &Info), 0) << AName;
    return { Info.st_uid, Info.st_gid, Info.st_mode & 07777 };
}

class TUserFolderTest : public TFolderTest {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to act as another user";
        TFolderTest::SetUp();
        ASSERT_EQ(::chmod(FFolder.c_str(), 0755), 0);
    }
};

// A shared list in a folder of root's that the user may write but not create files in: the
// save goes in place, keeps the file's owner and mode, and leaves nothing beside it.
TEST_F(TUserFolderTest, WritableFileInAFolderOfRoot)
{
    WriteFile(Path("default.cfg"), std::string(5000, 'x'));
    ASSERT_EQ(::chmod(Path("default.cfg").c_str(), 0666), 0);
    const TOwner Before = OwnerOf(Path("default.cfg"));
    EXPECT_EQ(AsUser([&] { SaveMonitorList(Path("default.cfg"), SampleList()); }), "");
    EXPECT_EQ(ReadFile(Path("default.cfg")), MonitorListText(SampleList()));
    EXPECT_EQ(OwnerOf(Path("default.cfg")), Before);
    EXPECT_EQ(FolderNames(FFolder), std::vector<std::string> { "default.cfg" });

    // A file the user may not write is refused as a plain write would be, and a new file
    // where the user may create none.
    ASSERT_EQ(::chmod(Path("default.cfg").c_str(), 0444), 0);
    ASSERT_EQ(::chown(FFolder.c_str(), KUser, KGroup), 0);
    EXPECT_EQ(AsUser([&] { SaveMonitorList(Path("default.cfg"), {}); }), "File access denied");
    EXPECT_EQ(ReadFile(Path("default.cfg")), MonitorListText(SampleList()));
    ASSERT_EQ(::chown(FFolder.c_str(), 0, 0), 0);
    EXPECT_EQ(AsUser([&] { SaveMonitorList(Path("new.cfg"), {}); }), "File access denied");
}

// Root saving a list that belongs to the user keeps it the user's: renamed into place with
// the old owner, group and mode.
TEST_F(TUserFolderTest, OwnerGroupAndModeKept)
{
    WriteFile(Path("default.cfg"), "old");
    ASSERT_EQ(::chown(Path("default.cfg").c_str(), KUser, KGroup), 0);
    ASSERT_EQ(::chmod(Path("default.cfg").c_str(), 0604), 0);
    SaveMonitorList(Path("default.cfg"), SampleList());
    EXPECT_EQ(OwnerOf(Path("default.cfg")), (TOwner { KUser, KGroup, 0604 }));
    EXPECT_EQ(ReadFile(Path("default.cfg")), MonitorListText(SampleList()));
}

// In a world-writable sticky folder, another user's link is not followed (it could point the
// save at any file); the saving user's own link is.
TEST_F(TUserFolderTest, LinksInAStickyFolder)
{
    ASSERT_EQ(::mkdir(Path("shared").c_str(), 01777), 0);
    ASSERT_EQ(::chmod(Path("shared").c_str(), 01777), 0);
    WriteFile(Path("precious"), "root's own");
    ASSERT_EQ(::symlink(Path("precious").c_str(), Path("shared/default.cfg").c_str()), 0);
    ASSERT_EQ(::lchown(Path("shared/default.cfg").c_str(), KUser, KGroup), 0);
    try {
        SaveMonitorList(Path("shared/default.cfg"), SampleList());
        FAIL() << "wrote through another user's link";
    } catch (const EInOutError& Error) {
        EXPECT_EQ(Error.ErrorCode, 5);
        EXPECT_NE(std::string(Error.what()).find("symbolic link of another user"), std::string::npos)
            << Error.what();
    }
    EXPECT_EQ(ReadFile(Path("precious")), "root's own");

    ASSERT_EQ(::lchown(Path("shared/default.cfg").c_str(), 0, 0), 0);
    SaveMonitorList(Path("shared/default.cfg"), SampleList());
    EXPECT_EQ(ReadFile(Path("precious")), MonitorListText(SampleList()));
}

} // namespace
