// A folder of its own under the system's temporary folder for one test, removed with
// everything in it when the test is done. The name is made by mkdtemp, so parallel runs
// never meet.
#pragma once

#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdlib.h>
#include <string>

namespace testsupport {

class TTempFolder {
public:
    // AStem names the folder for whoever finds one left behind.
    explicit TTempFolder(const std::string& AStem = "vardex-test");
    ~TTempFolder();
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;

    // Empty when no folder could be made.
    const std::string& Path() const { return FPath; }
    std::string Path(const std::string& AName) const { return FPath + "/" + AName; }
    void Write(const std::string& AName, const std::string& AText) const;

private:
    std::string FPath;
};

std::string ReadWholeFile(const std::string& APath);

} // namespace testsupport
