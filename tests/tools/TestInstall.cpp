// Installing the build into a folder of its own, as a packager or an operator would: the
// programs, the desktop entry, the icons, and the option that grants the raw-socket capability.
#include "tools/ToolTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

using namespace tooltest;

namespace {

const std::string CMake = VARDEX_CMAKE_COMMAND;
const std::string BuildDir = VARDEX_BUILD_DIR;

bool IsExecutableFile(const std::string& APath)
{
    struct stat Info { };
    return stat(APath.c_str(), &Info) == 0 && S_ISREG(Info.st_mode) && access(APath.c_str(), X_OK) == 0;
}

bool HasCapabilities(const std::string& APath)
{
    return getxattr(APath.c_str(), "security.capability", nullptr, 0) > 0;
}

// Width and height from a PNG file's header; 0, 0 when it is no PNG.
std::pair<uint32_t, uint32_t> PngSize(const std::string& APath)
{
    const std::string Data = ReadWholeFile(APath);
    if (Data.size() < 24 || Data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || Data.compare(12, 4, "IHDR") != 0)
        return { 0, 0 };
    const auto Word = [&Data](size_t AAt) {
        uint32_t Value = 0;
        for (size_t I = 0; I < 4; ++I)
            Value = Value << 8 | static_cast<unsigned char>(Data[AAt + I]);
        return Value;
    };
    return { Word(16), Word(20) };
}

TEST(Install, ProgramsDesktopEntryAndIcons)
{
    TTempFolder Prefix;
    const TRun R
        = RunToEnd(CMake, { "--install", BuildDir, "--prefix", Prefix.Path() }, Prefix.Path(), 60000);
    ASSERT_EQ(R.Status, 0) << R.Out << R.Err;

    EXPECT_TRUE(IsExecutableFile(Prefix.Path("bin/vardex")));
    EXPECT_TRUE(IsExecutableFile(Prefix.Path("bin/vardex-check")));
    // Without the option nothing is granted.
    EXPECT_FALSE(HasCapabilities(Prefix.Path("bin/vardex")));

    const std::string Entry = ReadWholeFile(Prefix.Path("share/applications/vardex.desktop"));
    const std::vector<std::string> EntryLines = Lines(Entry);
    ASSERT_FALSE(EntryLines.empty());
    EXPECT_EQ(EntryLines[0], "[Desktop Entry]");
    for (const char* Line :
        { "Type=Application", "Name=Vardex", "Exec=vardex", "Icon=vardex", "Categories=Network;Monitor;" })
        EXPECT_NE(std::find(EntryLines.begin(), EntryLines.end(), Line), EntryLines.end()) << Line;

    for (const uint32_t Size : { 48u, 256u }) {
        const std::string Icon = Prefix.Path(
            "share/icons/hicolor/" + std::to_string(Size) + "x" + std::to_string(Size) + "/apps/vardex.png");
        EXPECT_EQ(PngSize(Icon), std::make_pair(Size, Size)) << Icon;
    }

    // The installed checker runs from where it was put.
    const TRun Version = RunToEnd(Prefix.Path("bin/vardex-check"), { "--version" }, Prefix.Path());
    EXPECT_EQ(Version.Status, 0);
    EXPECT_EQ(Version.Out.rfind("vardex-check ", 0), 0u) << Version.Out;
}

// The capability option asked for at install time: granted where setcap and the file system
// allow it, otherwise skipped with a message, never a failed installation.
TEST(Install, CapabilityOption)
{
    TTempFolder Prefix;
    const TRun R = RunToEnd(CMake,
        { "-DCMAKE_INSTALL_PREFIX=" + Prefix.Path(), "-DVARDEX_SETCAP=ON", "-P",
            BuildDir + "/cmake_install.cmake" },
        Prefix.Path(), 60000);
    ASSERT_EQ(R.Status, 0) << R.Out << R.Err;
    for (const char* Program : { "vardex", "vardex-check" }) {
        const std::string Path = Prefix.Path(std::string("bin/") + Program);
        ASSERT_TRUE(IsExecutableFile(Path)) << Path;
        if (R.Out.find("granted cap_net_raw to " + Path + "\n") != std::string::npos) {
            EXPECT_TRUE(HasCapabilities(Path)) << Path;
        } else {
            EXPECT_FALSE(HasCapabilities(Path)) << Path;
            EXPECT_NE(R.Out.find("cap_net_raw not granted, skipped"), std::string::npos) << R.Out;
        }
    }
}

} // namespace
