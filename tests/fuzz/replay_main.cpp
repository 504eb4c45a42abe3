// Replays saved inputs through a format's korvaneFuzzOne without libFuzzer, so
// that the ordinary build (g++ or clang, with or without sanitizers) checks
// every input the fuzzer ever found. Arguments: folders or files; a folder
// gives its files in name order, leaving out names that start with a dot.
// A broken input aborts, naming itself first.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> inputsOf(const fs::path& where) {
    if (!fs::is_directory(where))
        return {where};
    std::vector<fs::path> files;
    for (const fs::directory_entry& d : fs::directory_iterator(where))
        if (d.is_regular_file() && d.path().filename().string().front() != '.')
            files.push_back(d.path());
    std::sort(files.begin(), files.end());
    return files;
}

bool replay(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
    korvaneFuzzOne(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER-OR-FILE...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        if (!fs::exists(argv[i])) {
            std::fprintf(stderr, "%s does not exist\n", argv[i]);
            return 1;
        }
        size_t count = 0;
        for (const fs::path& file : inputsOf(argv[i])) {
            if (!replay(file))
                return 1;
            ++count;
        }
        std::printf("%s: %zu inputs replayed\n", argv[i], count);
    }
    return 0;
}
