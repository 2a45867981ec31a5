// Runs a fuzz target over given files and directories (each file in them,
// in name order), so that a committed corpus replays as an ordinary test
// without libFuzzer or clang. Fails when there is nothing to replay: a
// corpus that went missing must not pass as an empty one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> inputsIn(const fs::path& given)
{
    if (!fs::is_directory(given))
        return {given};
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(given))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

bool replay(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::cerr << "cannot read " << file << '\n';
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    // A block of exactly the file's size, as libFuzzer hands it over.
    const std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& file : inputsIn(argv[i])) {
            if (!replay(file))
                return 1;
            ++replayed;
        }
    }
    std::cout << "replayed " << replayed << " inputs\n";
    return replayed != 0 ? 0 : 1;
}
