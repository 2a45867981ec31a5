#include "app/Run.h"

#include <sys/resource.h>

namespace {

// The walk keeps a folder open for every sub-folder waiting its turn; the
// soft limit on descriptors (often 1024) would otherwise end a wide or deep
// walk long before the path-length limit does.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

// The argument vector stands in for a command line: exactly one argument,
// compared byte for byte.
int main(int argc, char* argv[])
{
    raiseDescriptorLimit();
    useUtf8Characters();
    const RunSettings settings = readRunSettings("./");
    if (argc != 2)
        return runTolvane(std::nullopt, settings);
    return runTolvane(std::string(argv[1]), settings);
}
