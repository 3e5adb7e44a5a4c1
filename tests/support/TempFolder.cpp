#include "support/TempFolder.h"

namespace testsupport {

std::string ReadWholeFile(const std::string& APath)
{
    std::ifstream File(APath, std::ios::binary);
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

TTempFolder::TTempFolder(const std::string& AStem)
{
    std::string Name = "/tmp/" + AStem + "-XXXXXX";
    if (mkdtemp(Name.data()))
        FPath = Name;
}

TTempFolder::~TTempFolder()
{
    if (!FPath.empty())
        nftw(
            FPath.c_str(), [](const char* APath, const struct stat*, int, FTW*) { return ::remove(APath); },
            16, FTW_DEPTH | FTW_PHYS);
}

void TTempFolder::Write(const std::string& AName, const std::string& AText) const
{
    std::ofstream File(Path(AName), std::ios::binary | std::ios::trunc);
    File << AText;
}

} // namespace testsupport
