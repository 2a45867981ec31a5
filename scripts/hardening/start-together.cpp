// Starts one copy of a program in each of the given directories at the same
// instant: every child spins on the monotonic clock until a common moment a
// few milliseconds ahead, then executes the program at once, so the copies
// meet the instance guard within microseconds of each other.
//
// usage: start-together MAX_SECONDS DIR [DIR ...] -- PROGRAM [ARGS ...]
// Each child runs in its DIR with standard output and error to DIR/output;
// an alarm ends it after MAX_SECONDS (alarms survive exec). Prints one line:
// the exit status of each child as a shell reports it (128+signal when
// killed), then "skew_us N", the spread of their start moments.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

long long monotonicMicroseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

[[noreturn]] void runChild(const char* directory, unsigned maxSeconds, long long startAt,
                           long long* startedAt, char** program)
{
    const std::string output = std::string(directory) + "/output";
    const int outputFd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (chdir(directory) != 0 || outputFd < 0 || dup2(outputFd, 1) < 0 || dup2(outputFd, 2) < 0)
        _exit(127);
    alarm(maxSeconds);
    while ((*startedAt = monotonicMicroseconds()) < startAt) {
    }
    execv(program[0], program);
    _exit(127);
}

int shellStatus(int raw)
{
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

} // namespace

int main(int argc, char** argv)
{
    int separator = 2;
    while (separator < argc && std::strcmp(argv[separator], "--") != 0)
        ++separator;
    const int children = separator - 2;
    if (argc < 4 || children < 1 || separator + 1 >= argc) {
        std::fprintf(stderr, "usage: %s MAX_SECONDS DIR [DIR ...] -- PROGRAM [ARGS ...]\n", argv[0]);
        return 2;
    }
    const unsigned maxSeconds = static_cast<unsigned>(std::atoi(argv[1]));
    void* shared = mmap(nullptr, sizeof(long long) * children, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        return 2;
    long long* startedAt = static_cast<long long*>(shared);
    const long long startAt = monotonicMicroseconds() + 20000;
    std::vector<pid_t> pids;
    for (int child = 0; child < children; ++child) {
        const pid_t pid = fork();
        if (pid == 0)
            runChild(argv[2 + child], maxSeconds, startAt, &startedAt[child], argv + separator + 1);
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int raw = 0;
        waitpid(pid, &raw, 0);
        std::printf("%d ", pid < 0 ? -1 : shellStatus(raw));
    }
    const auto range = std::minmax_element(startedAt, startedAt + children);
    std::printf("skew_us %lld\n", *range.second - *range.first);
    return 0;
}
