// Short versions of scripts/hardening/: links swapped in during runs, runs
// killed at random moments, and instances started at the same instant.
#include "ProgramSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <grp.h>
#include <linux/capability.h>
#include <map>
#include <memory>
#include <random>
#include <sched.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace e2e {
namespace {

using testsupport::shellQuote;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// A counter that a forked child can raise and the test can read.
class SharedCounter {
public:
    SharedCounter()
        : value(static_cast<unsigned long long*>(mmap(nullptr, sizeof(unsigned long long),
                                                      PROT_READ | PROT_WRITE,
                                                      MAP_SHARED | MAP_ANONYMOUS, -1, 0)))
    {
        *value = 0;
    }
    ~SharedCounter() { munmap(value, sizeof(unsigned long long)); }
    SharedCounter(const SharedCounter&) = delete;
    SharedCounter& operator=(const SharedCounter&) = delete;
    volatile unsigned long long& operator*() { return *value; }

private:
    unsigned long long* value;
};

// An entry of the attacked tree and the link prepared beside it, reached
// through a descriptor of their real folder.
struct SwapPair {
    SwapPair(const std::string& folder, std::string name)
        : parent(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
          entry(std::move(name)), link(entry + ".lnk")
    {
    }
    ~SwapPair() { close(parent); }
    SwapPair(const SwapPair&) = delete;
    SwapPair& operator=(const SwapPair&) = delete;
    int exchange() const
    {
        return static_cast<int>(syscall(SYS_renameat2, parent, entry.c_str(), parent,
                                        link.c_str(), RENAME_EXCHANGE));
    }
    // After a -lock the owner gives itself the write right back.
    void regainWriteRight() const
    {
        struct stat status;
        if (fstat(parent, &status) == 0)
            fchmod(parent, (status.st_mode & 07777) | S_IRWXU);
    }
    int parent;
    std::string entry;
    std::string link;
};

[[noreturn]] void attackAsNobody(const std::vector<std::unique_ptr<SwapPair>>& pairs,
                                 volatile unsigned long long* swaps)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(300);
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
        _exit(1);
    for (;;) {
        for (const auto& pair : pairs) {
            if (pair->exchange() != 0 && (errno == EACCES || errno == EPERM)) {
                pair->regainWriteRight();
                pair->exchange();
            }
            ++*swaps;
        }
    }
}

class HardeningTest : public ProgramTest {
protected:
    // T/d<n>/f<m>: `folders` x `files`. T's default ACL (two named entries)
    // reaches everything; every third folder drops it, every fourth is
    // setgid, every fifth names a user of its own, and a few files hold
    // other modes and named read-only entries.
    void makeTree(int folders, int files) const
    {
        inData("mkdir -m 775 T && setfacl -d -m u::rwx,g::rwx,o::r-x,u:65534:rwx,g:100:r-x T"
               " && for d in $(seq 1 " + std::to_string(folders) + "); do mkdir T/d$d"
               " && { [ $((d % 3)) != 0 ] || { setfacl -b -k T/d$d && chmod 755 T/d$d; }; }"
               " && { [ $((d % 4)) != 0 ] || chmod g+s T/d$d; }"
               " && { [ $((d % 5)) != 0 ] || setfacl -m u:1000:r-x T/d$d; }"
               " && (cd T/d$d && touch $(seq -f f%g 1 " + std::to_string(files) + ")"
               " && chmod 600 f1 f2 && setfacl -m u:1001:r--,g:1002:--x f3 f4); done");
    }

    // ACLs, modes, owners and change times below data/sentinel: writing even
    // the same ACL again moves the change time.
    std::string sentinelState() const
    {
        return testsupport::run("cd " + shellQuote(dir / "data") +
                                " && getfacl -Rpn sentinel 2>&1 && find sentinel -exec stat -c"
                                " '%n %a %u %g %F %z' {} + | sort");
    }

    void makeSentinel() const
    {
        inData("mkdir -m 700 sentinel && mkdir -m 777 sentinel/open && mkdir -m 555 sentinel/closed"
               " && setfacl -m u:65534:rwx sentinel/open"
               " && setfacl -d -m u::rwx,g::rwx,o::rwx sentinel/open"
               " && : > sentinel/open/file && chmod 666 sentinel/open/file"
               " && : > sentinel/closed-file && chmod 444 sentinel/closed-file"
               " && setfacl -m u:65534:r-- sentinel/closed-file");
    }
};

// One ACL listing split in its access and default parts.
std::pair<std::string, std::string> accessAndDefault(const std::string& listing)
{
    std::pair<std::string, std::string> parts;
    std::istringstream in(listing);
    for (std::string entry; std::getline(in, entry);)
        (entry.rfind("default:", 0) == 0 ? parts.second : parts.first) += entry + "\n";
    return parts;
}

// Each ACL, access and default apart, is the original (which is also what
// -unlock gives back) or its locked form; never a mixture of the two.
void expectEveryAclWhole(const std::map<std::string, std::string>& original,
                         const std::map<std::string, std::string>& now)
{
    ASSERT_EQ(original.size(), now.size());
    for (const auto& [path, listing] : original) {
        const auto current = accessAndDefault(now.at(path));
        const auto forms = {accessAndDefault(listing), accessAndDefault(withoutWrite(listing))};
        bool accessWhole = false;
        bool defaultWhole = false;
        for (const auto& form : forms) {
            accessWhole = accessWhole || form.first == current.first;
            defaultWhole = defaultWhole || form.second == current.second;
        }
        EXPECT_TRUE(accessWhole && defaultWhole) << path << " holds\n" << now.at(path);
    }
}

TEST_F(HardeningTest, LinksSwappedInDuringRunsNeverLeadOutOfTheFolder)
{
    // The attacker, uid 65534, must reach its tree; the sentinel stays root's.
    testsupport::run("chmod 755 " + shellQuote(dir.path()) + " " + shellQuote(dir / "data"));
    makeSentinel();
    inData("mkdir T && for i in 1 2 3 4; do mkdir -p T/top$i/a/b/c"
           " && for d in T/top$i T/top$i/a T/top$i/a/b T/top$i/a/b/c;"
           " do (cd $d && touch $(seq -f f%g 1 20)); done; done"
           " && setfacl -R -m u:1000:rwx T && for i in 1 2 3 4; do"
           " ln -s ../sentinel/open T/top$i.lnk && ln -s \"$PWD/sentinel\" T/top$i/a/b.lnk"
           " && ln -s ../../../../../sentinel/closed-file T/top$i/a/b/c/f1.lnk"
           " && ln -s \"$PWD/sentinel/open/file\" T/top$i/f1.lnk; done"
           " && chown -R -h 65534:65534 T");
    std::vector<std::unique_ptr<SwapPair>> pairs;
    for (int i = 1; i <= 4; ++i) {
        const std::string top = data("T/top" + std::to_string(i));
        pairs.push_back(std::make_unique<SwapPair>(data("T"), "top" + std::to_string(i)));
        pairs.push_back(std::make_unique<SwapPair>(top + "/a", "b"));
        pairs.push_back(std::make_unique<SwapPair>(top + "/a/b/c", "f1"));
        pairs.push_back(std::make_unique<SwapPair>(top, "f1"));
    }
    writeIni({data("T")});
    const std::string sentinelBefore = sentinelState();
    ASSERT_NE(std::string::npos, sentinelBefore.find("user:65534:r--")) << sentinelBefore;

    SharedCounter swaps;
    Child attacker;
    attacker.pid = fork();
    if (attacker.pid == 0)
        attackAsNobody(pairs, &*swaps);
    while (*swaps < 1000 && waitpid(attacker.pid, nullptr, WNOHANG) == 0)
        usleep(1000);
    for (int run = 0; run < 20; ++run) {
        const ProgramRun result = runProgram(run % 2 == 0 ? "-lock" : "-unlock");
        EXPECT_TRUE(result.status == 1 || result.status == 249 || result.status == 252 ||
                    result.status == 253)
            << "run " << run << " ended with " << result.status;
        ASSERT_EQ(sentinelBefore, sentinelState()) << "run " << run << " reached the sentinel";
    }
    EXPECT_EQ(0, waitpid(attacker.pid, nullptr, WNOHANG)) << "the attacker stopped early";
    EXPECT_GT(*swaps, 1000u);
}

// uid 65534 owns the folder above a configured folder, renames that folder
// away and leaves a link to the sentinel in its place. The configured path
// then fails as one that cannot be read; root's own link to another
// configured folder (spelt from the current directory) is still followed.
TEST_F(HardeningTest, ConfiguredFolderSwappedForALinkIsRefusedAsUnreadable)
{
    testsupport::run("chmod 755 " + shellQuote(dir.path()) + " " + shellQuote(dir / "data"));
    makeSentinel();
    inData("mkdir -p home/T srv && touch home/T/f srv/f && chmod 666 home/T/f srv/f"
           " && chown -R 65534:65534 home && ln -s \"$PWD/srv\" admin.lnk");
    ASSERT_EQ("", testsupport::run(asNobody("cd " + shellQuote(data("home")) +
                                            " && mv T T.away && ln -s ../sentinel/open T 2>&1")));
    writeIni({data("home/T"), "data/admin.lnk"});
    const std::string sentinelBefore = sentinelState();
    const auto away = aclTree(data("home/T.away"));
    const auto srv = aclTree(data("srv"));

    for (const bool lock : {false, true}) {
        SCOPED_TRACE(lock ? "-lock" : "-unlock");
        const ProgramRun result = runProgram(lock ? "-lock" : "-unlock");
        EXPECT_EQ(252, result.status);
        EXPECT_EQ((Lines{line::start(), line::readFailed(lock, data("home/T")),
                         line::modificationFailed(lock, data("home/T")),
                         line::success(lock, "data/admin.lnk"), line::end()}),
                  result.log);
        EXPECT_EQ(sentinelBefore, sentinelState());
        EXPECT_EQ(away, aclTree(data("home/T.away")));
        // Never locked before, the tree is left as it is by the first unlock.
        EXPECT_EQ(lock ? mapAcls(srv, withoutWrite) : srv, aclTree(data("srv")));
    }
}

// What root reads its orders from and writes its trail to must be root's
// alone: each row lets uid 65534 change one input, and the run refuses to
// start, touching neither the tree nor any file the user aimed it at.
TEST_F(HardeningTest, InputsAUserCouldHaveWrittenStopTheRunBeforeItStarts)
{
    testsupport::run("chmod 755 " + shellQuote(dir.path()));
    inData("mkdir T && : > T/f && chmod 666 T/f && : > target && mkdir logs && chown 65534 logs");
    writeIni({data("T")});
    const std::string refusal = "[WinMain]: WinMain :: ReturnCode = -2 : Refusing to run: ";
    const struct Row {
        const char* name;
        std::string attack;      // run in the working directory as uid 65534
        std::string prepare;     // run there as root first
        std::string why;
        bool logged;
    } rows[] = {
        {"Tolvane.ini not root's", "", "chown 65534 Tolvane.ini", "./Tolvane.ini is owned by uid 65534, not root", true},
        {"LogTolvane.xml group-writable", "", "chmod g+w LogTolvane.xml", "./LogTolvane.xml is writable by group or others", false},
        {"log link planted in a shared directory", "ln -s data/target planted.log",
         "chmod 1777 . && sed -i 's#" + (dir / "tolvane.log") + "#planted.log#' LogTolvane.xml",
         "the working directory is writable by group or others", false},
        {"log folder of a user", "", "sed -i 's#" + (dir / "tolvane.log") + "#" + data("logs/t.log") + "#' LogTolvane.xml",
         data("logs") + " is owned by uid 65534, not root", false},
    };
    const auto tree = aclTree(data("T"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string saved = testsupport::run("cat " + shellQuote(dir / "LogTolvane.xml"));
        testsupport::run("cd " + shellQuote(dir.path()) + " && " + row.prepare);
        if (*row.attack.c_str())
            testsupport::run(asNobody("cd " + shellQuote(dir.path()) + " && " + row.attack));
        const ProgramRun result = runProgram("-lock");
        EXPECT_EQ(254, result.status);
        EXPECT_EQ(refusal + row.why + "\n", result.output);
        EXPECT_EQ(row.logged ? Lines{"ERROR " + refusal + row.why} : Lines{}, result.log);
        EXPECT_EQ(tree, aclTree(data("T")));
        EXPECT_EQ("", testsupport::run("cat " + shellQuote(data("target"))));
        testsupport::writeFile(dir / "LogTolvane.xml", saved);
        testsupport::run("cd " + shellQuote(dir.path()) + " && chown 0 Tolvane.ini && chmod 755 . "
                         "&& chmod 644 LogTolvane.xml && rm -f planted.log");
    }
    EXPECT_EQ(1, runProgram("-lock").status) << "the inputs set right again";
}

// Any user can bind the abstract socket name; a run as root does not care.
// A network namespace of its own keeps other runs' sockets out of the test.
TEST_F(HardeningTest, GuardNameBoundByAnotherUserDoesNotStopARunAsRoot)
{
    if (unshare(CLONE_NEWNET) != 0)
        GTEST_SKIP() << "no network namespace of its own";
    inData("mkdir A && : > A/f && chmod 666 A/f");
    writeIni({data("A")});
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    Child squatter;
    squatter.pid = fork();
    if (squatter.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const bool bound = setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                           setresuid(65534, 65534, 65534) == 0 && bindAbstractGuardName() >= 0;
        if (write(ready[1], bound ? "1" : "0", 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char bound = '0';
    ASSERT_EQ(1, read(ready[0], &bound, 1));
    close(ready[0]);
    ASSERT_EQ('1', bound) << "something else holds the socket name";

    const ProgramRun result = runProgram("-lock");
    EXPECT_EQ(1, result.status);
    EXPECT_EQ((Lines{line::start(), line::success(true, data("A")), line::end()}), result.log);
    EXPECT_EQ("-r--r--r--", testsupport::run("stat -c %A " + shellQuote(data("A/f")) + " | tr -d '\\n'"));
}

// Rounds with the records in the inodes, then with the run kept from them
// (no CAP_SYS_ADMIN) so that every record goes to the record store.
TEST_F(HardeningTest, RunsKilledAtRandomMomentsLeaveEveryAclWholeAndTheGuardFree)
{
    makeTree(20, 100);
    writeIni({data("T")});
    const auto original = aclTree(data("T"));
    ASSERT_EQ(20u * 100 + 21, original.size());
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (const bool inStore : {false, true}) {
        SCOPED_TRACE(inStore ? "records in the store" : "records in the inodes");
        const auto run = [&](const char* argument) {
            return runProgram(argument, inStore ? "setpriv --bounding-set=-sys_admin" : "");
        };
        const ProgramRun first = run("-lock");
        ASSERT_EQ(1, first.status);
        const auto runMicroseconds = static_cast<unsigned>(first.seconds * 1e6);
        for (int round = 0; round < 5; ++round) {
            Child killed;
            startProgram(&killed, dir.path(), round % 2 == 0 ? "-unlock" : "-lock", Clock::time_point(),
                         inStore);
            usleep(std::uniform_int_distribution<unsigned>(0, runMicroseconds)(random));
            const int killedStatus = killed.killNow();
            EXPECT_TRUE(killedStatus == 137 || killedStatus == 1) << killedStatus;
            expectEveryAclWhole(original, aclTree(data("T")));

            const bool lock = round % 3 != 0;
            const ProgramRun next = run(lock ? "-lock" : "-unlock");
            ASSERT_EQ(1, next.status) << "round " << round;
            EXPECT_EQ(line::start(), next.log.at(0));
            EXPECT_EQ(afterRun(original, lock), aclTree(data("T")));
        }
        ASSERT_EQ(1, run("-lock").status);
        EXPECT_EQ(mapAcls(original, withoutWrite), aclTree(data("T")));
        ASSERT_EQ(1, run("-unlock").status);
        EXPECT_EQ(original, aclTree(data("T")));
    }
}

// Every file is reached by two hard links, from two folders that 8 threads
// walk at once: each inode is rewritten as by one thread, one link after the
// other, and no run reports a record missing or an entry locked.
TEST_F(HardeningTest, HardLinksWalkedByManyThreadsAtOnceEndAsWithOne)
{
    inData("mkdir -p T/a T/b && cd T/a && touch $(seq -f f%g 1 400) && chmod 664 f*"
           " && setfacl -m u:1000:rw f1 f2 && for f in f*; do ln $f ../b/$f; done");
    writeIni({data("T")});
    const auto original = aclTree(data("T"));
    for (const char* threads : {"1", "8", "8", "8"}) {
        for (const bool lock : {true, false}) {
            SCOPED_TRACE(std::string(threads) + (lock ? " threads, -lock" : " threads, -unlock"));
            const ProgramRun result =
                runProgram(lock ? "-lock" : "-unlock", std::string("TOLVANE_THREADS=") + threads);
            EXPECT_EQ(1, result.status);
            EXPECT_EQ((Lines{line::start(), line::success(lock, data("T")), line::end()}), result.log);
            EXPECT_EQ(afterRun(original, lock), aclTree(data("T")));
        }
    }
}

// The record store's folder lies in a folder of uid 65534, who keeps
// swapping it with a folder of its own holding records it made up: no unlock
// may ever read them. A folder anybody but root can write, on the way to the
// store, keeps the store from being used at all.
TEST_F(HardeningTest, StoreFolderSwappedByItsParentsOwnerIsNeverUsed)
{
    testsupport::run("chmod 755 " + shellQuote(dir.path()) + " " + shellQuote(dir / "data"));
    inData("mkdir T forged && : > T/f && chmod 666 T/f");
    const std::string withoutSysAdmin = "setpriv --bounding-set=-sys_admin";
    const auto storeIn = [&](const std::string& folder) {
        return "STATE_DIRECTORY=" + shellQuote(data(folder)) + " " + withoutSysAdmin;
    };
    writeIni({data("T")});
    ASSERT_EQ(1, runProgram("-lock", storeIn("forged")).status) << "records saying T/f was rw-rw-rw-";
    inData("chmod 644 T/f && mkdir -m 755 parent && mkdir -m 700 parent/state parent/state.lnk"
           " && cp forged/records.sqlite parent/state.lnk/ && chown -R 65534:65534 parent/state.lnk"
           " && chown 65534:65534 parent");
    EXPECT_EQ(252, runProgram("-lock", storeIn("parent/state")).status) << "the store was used";
    ASSERT_EQ("444", testsupport::run("stat -c %a " + shellQuote(data("T/f")) + " | tr -d '\\n'"));

    std::vector<std::unique_ptr<SwapPair>> pairs;
    pairs.push_back(std::make_unique<SwapPair>(data("parent"), "state"));
    SharedCounter swaps;
    Child attacker;
    attacker.pid = fork();
    if (attacker.pid == 0)
        attackAsNobody(pairs, &*swaps);
    for (int run = 0; run < 40; ++run) {
        runProgram("-unlock", storeIn("parent/state"));
        const std::string mode = testsupport::run("stat -c %a " + shellQuote(data("T/f")));
        ASSERT_EQ("44\n", mode.substr(1)) << "unlock " << run << " used the records of uid 65534";
    }
    EXPECT_GT(*swaps, 1000u);
}

TEST_F(HardeningTest, OfTwoInstancesStartedAtTheSameInstantExactlyOneRuns)
{
    // Large enough that the first run still holds the guard when a second
    // started a little late on a loaded machine comes to it.
    makeTree(40, 250);
    writeIni({data("T")});
    testsupport::TempDir second;
    testsupport::writeLogConfig(second.path(), second / "tolvane.log");
    testsupport::writeFile(second / "Tolvane.ini", testsupport::readFile(dir / "Tolvane.ini"));
    const std::string logs[] = {dir / "tolvane.log", second / "tolvane.log"};

    for (int pair = 0; pair < 10; ++pair) {
        const char* argument = pair % 2 == 0 ? "-lock" : "-unlock";
        std::remove(logs[0].c_str());
        std::remove(logs[1].c_str());
        const auto startAt = Clock::now() + std::chrono::milliseconds(20);
        Child runs[2];
        startProgram(&runs[0], dir.path(), argument, startAt);
        startProgram(&runs[1], second.path(), argument, startAt);
        const int statuses[] = {runs[0].wait(), runs[1].wait()};
        const int refused = statuses[0] == 250 ? 0 : 1;
        EXPECT_EQ(250, statuses[refused]) << "pair " << pair << ": both ran";
        EXPECT_EQ(1, statuses[1 - refused]) << "pair " << pair;
        EXPECT_EQ((Lines{line::anotherInstance(), line::end()}),
                  testsupport::readLines(logs[refused]));
    }
}

} // namespace
} // namespace e2e
