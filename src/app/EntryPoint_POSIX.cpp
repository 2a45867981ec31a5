#include "app/TolvaneMain.h"

#include <sys/resource.h>

namespace {

// The walk keeps one listing open per level of the tree; the soft limit on
// descriptors (often 1024) would otherwise end a deep walk long before the
// path-length limit does.
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
    if (argc != 2)
        return runTolvane(std::nullopt, "./");
    return runTolvane(std::string(argv[1]), "./");
}
