#include "monitors/MonitorList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
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
        { EISDIR, EISDIR },
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
    void SetUp() override
    {
        char Template[] = "/tmp/vardex-list-XXXXXX";
        ASSERT_NE(::mkdtemp(Template), nullptr);
        FFolder = Template;
    }
    void TearDown() override
    {
        if (FMounted)
            ::umount2(FFolder.c_str(), MNT_DETACH);
        (void)!std::system(("rm -rf '" + FFolder + "'").c_str());
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

    std::string FFolder;
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
        EXPECT_EQ(Error.ErrorCode, EISDIR);
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

} // namespace
