// Feeds every saved input of a fuzz target's corpus to its entry point once, so the normal
// test build (with the sanitizers of scripts/test) checks them without libFuzzer.
//   Replay<Name> DIR_OR_FILE...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize);

namespace {

bool ReadFile(const std::filesystem::path& AFile, std::vector<uint8_t>& AData)
{
    std::ifstream In(AFile, std::ios::binary);
    if (!In)
        return false;
    AData.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> Files;
    for (int I = 1; I < argc; ++I) {
        std::filesystem::path P(argv[I]);
        std::error_code Ec;
        if (std::filesystem::is_directory(P, Ec)) {
            for (const auto& E : std::filesystem::directory_iterator(P, Ec))
                if (E.is_regular_file())
                    Files.push_back(E.path());
        } else if (std::filesystem::is_regular_file(P, Ec)) {
            Files.push_back(P);
        } else {
            std::fprintf(stderr, "%s: not found\n", argv[I]);
            return 2;
        }
    }
    std::sort(Files.begin(), Files.end());
    // A replay of nothing would pass without checking anything.
    if (Files.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 2;
    }
    std::vector<uint8_t> Data;
    for (const auto& F : Files) {
        if (!ReadFile(F, Data)) {
            std::fprintf(stderr, "%s: cannot read\n", F.c_str());
            return 2;
        }
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", F.c_str(), Data.size());
        LLVMFuzzerTestOneInput(Data.data(), Data.size());
    }
    std::printf("%zu passed, 0 failed\n", Files.size());
    return 0;
}
