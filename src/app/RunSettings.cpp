#include "app/RunSettings.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr unsigned kMostThreads = 256;

unsigned threadsOfEnvironment()
{
    const char* setting = std::getenv("TOLVANE_THREADS");
    if (setting != nullptr) {
        char* end = nullptr;
        const unsigned long wanted = std::strtoul(setting, &end, 10);
        if (end != setting && *end == '\0' && wanted >= 1)
            return static_cast<unsigned>(std::min<unsigned long>(wanted, kMostThreads));
    }
    return std::clamp(std::thread::hardware_concurrency(), 1u, kMostThreads);
}

bool openAheadOfEnvironment()
{
    const char* setting = std::getenv("TOLVANE_IO_URING");
    return setting == nullptr || std::string(setting) != "0";
}

} // namespace

RunSettings readRunSettings(const std::string& currentDirectory)
{
    return RunSettings{currentDirectory, threadsOfEnvironment(), openAheadOfEnvironment(),
                       stateFolderOfEnvironment(), runsPrivileged()};
}
