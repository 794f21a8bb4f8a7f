// Runs a fuzz target over saved inputs without libFuzzer: each argument is a file or a folder of files.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int RunFile(const std::filesystem::path &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 0;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            std::vector<std::filesystem::path> files;
            for (const auto &entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto &f : files) {
                if (!RunFile(f)) return 1;
                ++runs;
            }
        } else {
            if (!RunFile(arg)) return 1;
            ++runs;
        }
    }
    // An empty input always runs too, so a target with no saved inputs still executes.
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(&none, 0);
    std::printf("%zu inputs replayed\n", runs + 1);
    return 0;
}
