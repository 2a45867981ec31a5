// The attacker of race-attack.sh. It owns the tree under attack and swaps
// each named entry with a link prepared beside it, as fast as it can, with
// renameat2(RENAME_EXCHANGE): the entry's name then alternates between the
// real folder or file and a link out of the tree, and never goes missing.
// Each pair is reached through a descriptor of its real parent folder, opened
// before the first swap, so a deep pair keeps being swapped while a folder
// above it is swapped too. A run's -lock takes the write right from the
// folders; as their owner the attacker simply gives it back to itself.
//
// usage: race-attacker MAX_SECONDS ENTRY LINK [ENTRY LINK ...]
// Stops on SIGTERM or after MAX_SECONDS, swaps back every pair left swapped,
// and prints "swaps_attempted N swaps_done N restore_failures N".
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

struct SwapPair {
    int parent;
    std::string entry;
    std::string link;
    bool swapped = false;
};

int exchange(const SwapPair& pair)
{
    return static_cast<int>(syscall(SYS_renameat2, pair.parent, pair.entry.c_str(), pair.parent,
                                    pair.link.c_str(), RENAME_EXCHANGE));
}

// The owner may always change the mode of its own folder.
void regainWriteRight(const SwapPair& pair)
{
    struct stat status;
    if (fstat(pair.parent, &status) == 0)
        fchmod(pair.parent, (status.st_mode & 07777) | S_IRWXU);
}

bool swapOnce(SwapPair& pair)
{
    if (exchange(pair) != 0) {
        if (errno != EACCES && errno != EPERM)
            return false;
        regainWriteRight(pair);
        if (exchange(pair) != 0)
            return false;
    }
    pair.swapped = !pair.swapped;
    return true;
}

std::string parentOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// Entry and link must lie in the same folder.
bool readPairs(int argc, char** argv, std::vector<SwapPair>* pairs)
{
    for (int index = 2; index + 1 < argc; index += 2) {
        const std::string entry = argv[index];
        const std::string link = argv[index + 1];
        const int parent = open(parentOf(entry).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent < 0 || parentOf(link) != parentOf(entry)) {
            std::fprintf(stderr, "cannot use the pair %s %s\n", entry.c_str(), link.c_str());
            return false;
        }
        pairs->push_back({parent, nameOf(entry), nameOf(link)});
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || argc % 2 != 0) {
        std::fprintf(stderr, "usage: %s MAX_SECONDS ENTRY LINK [ENTRY LINK ...]\n", argv[0]);
        return 2;
    }
    std::vector<SwapPair> pairs;
    if (!readPairs(argc, argv, &pairs))
        return 2;
    std::signal(SIGTERM, requestStop);
    std::signal(SIGALRM, requestStop);
    alarm(static_cast<unsigned>(std::atoi(argv[1])));

    unsigned long long attempted = 0;
    unsigned long long done = 0;
    while (!stopRequested) {
        for (SwapPair& pair : pairs) {
            ++attempted;
            done += swapOnce(pair) ? 1 : 0;
        }
    }
    unsigned restoreFailures = 0;
    for (SwapPair& pair : pairs) {
        for (int tries = 0; pair.swapped && tries < 100; ++tries)
            swapOnce(pair);
        restoreFailures += pair.swapped ? 1 : 0;
    }
    std::printf("swaps_attempted %llu swaps_done %llu restore_failures %u\n", attempted, done,
                restoreFailures);
    return restoreFailures == 0 ? 0 : 1;
}
