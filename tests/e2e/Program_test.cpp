// Runs of the real program over real trees with real POSIX ACLs. Every run
// meets the machine-wide instance guard, so these tests never run side by
// side.
#include "ProgramSupport.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {
namespace {

using testsupport::nobodyCanWrite;
using testsupport::shellQuote;
using Lines = std::vector<std::string>;

std::vector<std::string> words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

// What -lock took is recorded with each entry, and -unlock gives back just
// that: read-only entries stay read-only, write-only ones (drop boxes) get
// their write back, and an entry added while locked keeps what it was given.
// D is configured only for the last run.
TEST_F(ProgramTest, LockAndUnlockRewriteEveryEntryOfEveryFolderInListOrder)
{
    inData("mkdir A B C && chmod 755 A && chmod 777 B && chmod 711 C"
           " && setfacl -m u:65534:rwx A && setfacl -d -m u::rwx,g::r-x,o::r-x,u:65534:rwx A"
           " && : > A/f1 && chmod 644 A/f1 && setfacl -m u:65534:rw- A/f1 && chown 65534 A/f1"
           " && mkdir -p A/sub/deeper && chmod 2775 A/sub && : > A/sub/f2 && : > A/sub/deeper/f3"
           " && setfacl -m u:1000:r--,g:100:-w-,g:1001:r-x A/sub/f2"
           " && : > B/g1 && chmod 666 B/g1 && mkdir -m 777 B/empty && : > C/h && chmod 600 C/h"
           " && mkdir -m 2775 B/drop && setfacl -m g:100:-wx B/drop && setfacl -d -m g:100:-w- B/drop"
           " && mkdir D && : > D/f && chmod 644 D/f");
    const std::string root = dir / "data";
    const auto before = aclTree(root);
    ASSERT_NE(std::string::npos, before.at(data("A")).find("default:user:65534:rwx"));
    const std::vector<std::string> writable = {
        data("A"), data("A/f1"), data("A/sub"), data("A/sub/f2"), data("A/sub/deeper/f3"),
        data("B"), data("B/g1"), data("B/empty")};
    for (const std::string& path : writable)
        ASSERT_TRUE(nobodyCanWrite(path)) << path;
    writeIni({data("C"), data("A"), data("B")});
    auto expected = afterRun(before, true);
    for (const std::string& untouched : {root, data("D"), data("D/f")})
        expected[untouched] = before.at(untouched);

    for (int run = 0; run < 2; ++run) {
        const ProgramRun locked = runProgram("-lock");
        EXPECT_EQ(1, locked.status);
        EXPECT_EQ("", locked.output);
        EXPECT_EQ((Lines{line::start(), line::success(true, data("C")),
                         line::success(true, data("A")), line::success(true, data("B")),
                         line::end()}),
                  locked.log);
        EXPECT_EQ(expected, aclTree(root)) << "lock twice is lock once";
    }
    for (const std::string& path : writable)
        EXPECT_FALSE(nobodyCanWrite(path)) << path;
    const std::string record = "trusted.tolvane " + shellQuote(data("A/f1"));
    int status = 0;
    testsupport::run("setpriv --reuid=65534 --regid=65534 --clear-groups getfattr -n " + record,
                     &status);
    EXPECT_NE(0, status) << "its owner can read the record";
    testsupport::run("setpriv --reuid=65534 --regid=65534 --clear-groups setfattr -v 0x01 -n " +
                         record,
                     &status);
    EXPECT_NE(0, status) << "its owner can forge the record";
    inData("setfacl -m u:1002:rw-,u:1003:r-- C/h");

    const ProgramRun unlocked = runProgram("-unlock");
    EXPECT_EQ(1, unlocked.status);
    EXPECT_EQ((Lines{line::start(), line::success(false, data("C")), line::success(false, data("A")),
                     line::success(false, data("B")), line::end()}),
              unlocked.log);
    expected = before;
    expected[data("C/h")] = "user::rw-\nuser:1002:rw-\nuser:1003:r--\ngroup::---\nmask::rw-\n"
                            "other::---\n";
    EXPECT_EQ(expected, aclTree(root));
    for (const std::string& path : writable)
        EXPECT_TRUE(nobodyCanWrite(path)) << path;
    EXPECT_EQ(1, runProgram("-unlock").status);
    EXPECT_EQ(expected, aclTree(root)) << "unlock twice is unlock once";

    // A tree never locked has no records: unlock leaves it as it is.
    writeIni({data("D")});
    EXPECT_EQ(1, runProgram("-unlock").status);
    EXPECT_EQ(expected, aclTree(root));
}

TEST_F(ProgramTest, AnyOtherArgumentIsRefusedAfterTheConfigurationIsRead)
{
    inData("mkdir A && : > A/f");
    writeIniText("[FOLDER]\nNB_FOLDER=2\nFOLDER_1=" + data("A") + "\n");
    const auto before = aclTree(data("A"));
    const std::string folder2Missing =
        "ERROR [C_TolvaneManager::readIniValue]: C_TolvaneManager::readIniValue :: ReturnCode = -2 "
        ": Configuration file : [FOLDER].FOLDER_2 unfound parameter";
    for (const std::string arguments : {"", "-lock -unlock", "-unlock -unlock", "-LOCK", "'-lock '",
                                        "' -unlock'", "'\"-lock\"'"}) {
        SCOPED_TRACE("arguments: " + arguments);
        const ProgramRun refused = runProgram(arguments);
        EXPECT_EQ(255, refused.status);
        EXPECT_EQ("Usage: tolvane -lock | -unlock | -status (tolvane --help says more)\n",
                  refused.output);
        EXPECT_EQ((Lines{line::start(), folder2Missing, line::wrongArgument(), line::end()}),
                  refused.log);
        EXPECT_EQ(before, aclTree(data("A")));
    }
}

TEST_F(ProgramTest, EmptyOrMissingConfigurationEndsWithAnEmptyFolderList)
{
    writeIniText("[FOLDER]\nNB_FOLDER=0\n");
    const ProgramRun noFolder = runProgram("-lock");
    EXPECT_EQ(254, noFolder.status);
    EXPECT_EQ((Lines{line::start(),
                     "ERROR [C_TolvaneManager::loadFoldersPaths]: C_TolvaneManager::loadFoldersPaths"
                     " :: ReturnCode = -2 : Configuration file : [FOLDER].NB_FOLDER Wrong value "
                     "introduced",
                     line::emptyFolderList(), line::end()}),
              noFolder.log);

    std::remove((dir / "Tolvane.ini").c_str());
    const ProgramRun noIni = runProgram("-unlock");
    EXPECT_EQ(254, noIni.status);
    EXPECT_EQ("", noIni.output);
    EXPECT_EQ((Lines{line::start(), line::missing("Tolvane.ini"), line::emptyFolderList(),
                     line::end()}),
              noIni.log);
}

TEST_F(ProgramTest, MissingFolderIsReportedWhileTheOthersAreStillDone)
{
    inData("mkdir A B && : > A/f && mkdir A/sub && : > B/g");
    const auto beforeA = aclTree(data("A"));
    const auto beforeB = aclTree(data("B"));
    writeIni({data("A"), data("gone"), data("B")});

    const ProgramRun result = runProgram("-lock");
    EXPECT_EQ(253, result.status);
    EXPECT_EQ((Lines{line::start(), line::success(true, data("A")), line::missing(data("gone")),
                     line::success(true, data("B")), line::end()}),
              result.log);
    EXPECT_EQ(mapAcls(beforeA, withoutWrite), aclTree(data("A")));
    EXPECT_EQ(mapAcls(beforeB, withoutWrite), aclTree(data("B")));
}

TEST_F(ProgramTest, PlainFileOrEmptyFolderIsHandledAsItself)
{
    inData("mkdir empty && : > plain && chmod 664 plain && : > beside");
    const auto before = aclTree(dir / "data");
    writeIni({data("plain"), data("empty")});

    const ProgramRun result = runProgram("-lock");
    EXPECT_EQ(1, result.status);
    EXPECT_EQ((Lines{line::start(), line::success(true, data("plain")),
                     line::success(true, data("empty")), line::end()}),
              result.log);
    auto expected = before;
    for (const std::string& path : {data("plain"), data("empty")})
        expected[path] = withoutWrite(before.at(path));
    EXPECT_EQ(expected, aclTree(dir / "data"));
}

// An immutable file refuses every ACL write, even from root.
struct ImmutableFile {
    explicit ImmutableFile(const std::string& path) : path(path)
    {
        testsupport::run("chattr +i " + shellQuote(path) + " 2>&1", &status);
    }
    ~ImmutableFile() { testsupport::run("chattr -i " + shellQuote(path) + " 2>&1"); }
    std::string path;
    int status = 0;
};

TEST_F(ProgramTest, FileWhoseAclCannotBeWrittenLeavesNoOtherFileOfItsFolderAsItWas)
{
    inData("mkdir F && for n in 0 1 2 3 4 5; do : > F/f$n; done"
           " && for n in 0 1 2; do mkdir F/d$n && : > F/d$n/inner; done");
    // The program takes the entries in the directory's own order, as ls -U does.
    std::vector<std::string> files;
    for (const std::string& name : words(testsupport::run("ls -U " + shellQuote(data("F")))))
        if (name[0] == 'f')
            files.push_back(data("F/" + name));
    ASSERT_EQ(6u, files.size());
    const std::string failing = files[1];
    const ImmutableFile immutable(failing);
    if (immutable.status != 0)
        GTEST_SKIP() << "the file system under /tmp does not support chattr +i";
    const auto before = aclTree(data("F"));
    writeIni({data("F")});

    for (const bool lock : {true, false}) {
        SCOPED_TRACE(lock ? "-lock" : "-unlock");
        const ProgramRun result = runProgram(lock ? "-lock" : "-unlock");
        EXPECT_EQ(252, result.status);
        EXPECT_EQ((Lines{line::start(), line::writeFailed(lock, failing),
                         line::modificationFailed(lock, failing), line::end()}),
                  result.log);
        // The reason follows, in the system's words, and the tree's summary.
        const std::string walkTag = "C_TolvaneManager::recursiveFolderPermissionAccess";
        ASSERT_EQ(2u, result.own.size()) << ::testing::PrintToString(result.own);
        EXPECT_EQ(line::reason(lock ? "C_TolvaneManager::lockWritingPermission"
                                    : "C_TolvaneManager::unlockWritingPermission",
                               "Operation not permitted", failing),
                  result.own[0]);
        EXPECT_EQ(0u, result.own[1].find("INFO [" + walkTag + "]: " + walkTag + " :: " +
                                         (lock ? "Lock" : "Unlock") + " of (" + data("F") +
                                         ") done: 12 entries changed, 1 failed, 0 left without a "
                                         "record, in "))
            << result.own[1];
        auto expected = afterRun(before, lock);
        expected[failing] = before.at(failing);
        EXPECT_EQ(expected, aclTree(data("F")));
    }
}

// What a lock left, read and never changed: entries by record and write
// right, a missing folder on a line of its own; no guard, so beside a lock.
TEST_F(ProgramTest, StatusCountsEveryEntryByRecordAndWriteRight)
{
    inData("mkdir -p S/sub && : > S/f && : > S/sub/g && chmod 644 S/f S/sub/g && ln -s f S/link");
    writeIni({data("S"), data("gone")});
    const auto expectStatus = [&](const std::string& fields) {
        const auto before = aclTree(data("S"));
        const int guard = holdInstanceGuard();
        ASSERT_GE(guard, 0) << "something else holds the instance guard";
        const ProgramRun result = runProgram("-status");
        close(guard);
        EXPECT_EQ(253, result.status);
        EXPECT_EQ(fields + "\t" + data("S") + "\nmissing\t0\t0\t0\t0\t0\t" + data("gone") + "\n",
                  result.output);
        EXPECT_EQ((Lines{line::start(), line::missing(data("gone")), line::end()}), result.log);
        EXPECT_EQ(before, aclTree(data("S")));
    };
    expectStatus("unlocked\t4\t0\t0\t4\t0");
    ASSERT_EQ(253, runProgram("-lock").status);
    expectStatus("locked\t4\t4\t0\t0\t0");
    inData(": > S/new && : > S/sub/closed && chmod 444 S/sub/closed");
    expectStatus("partly\t6\t4\t1\t1\t0");
}

// Each exit status the program gives, provoked for real, is named by
// --help, in README.md's table and in the man page.
TEST_F(ProgramTest, EveryExitStatusIsProvokedAndDocumented)
{
    inData("mkdir -p A C/closed I && : > A/f && : > C/f && chown 65534 C/closed"
           " && chmod 000 C/closed && : > I/fixed");
    const ImmutableFile immutable(data("I/fixed"));
    const auto ini = [&](const std::string& keys) { return "[FOLDER]\n" + keys + "\n"; };
    const std::string clean = ini("NB_FOLDER=1\nFOLDER_1=" + data("A"));
    struct Row {
        std::string why, ini, command;
        int status;
        bool guardHeld = false;
    };
    const std::vector<Row> rows = {
        {"--help", clean, "{program} --help", 0},
        {"--version", clean, "{program} --version", 0},
        {"nothing failed", clean, "{program} -lock", 1},
        {"a folder that cannot be listed", ini("NB_FOLDER=1\nFOLDER_1=" + data("C")),
         "setpriv --bounding-set=-dac_override,-dac_read_search {program} -lock", 249},
        {"another instance", clean, "{program} -lock", 250, true},
        {"an immutable file", ini("NB_FOLDER=1\nFOLDER_1=" + data("I")), "{program} -lock", 252},
        {"a missing folder", ini("NB_FOLDER=1\nFOLDER_1=" + data("gone")), "{program} -lock", 253},
        {"a missing FOLDER_2", ini("NB_FOLDER=2\nFOLDER_1=" + data("A")), "{program} -lock", 253},
        {"NB_FOLDER=abc", ini("NB_FOLDER=abc"), "{program} -lock", 254},
        {"no Tolvane.ini", "", "{program} -unlock", 254},
        {"a wrong argument", clean, "{program} -LOCK", 255},
    };
    const std::string help = runProgram("--help").output;
    const std::string readme = testsupport::run("cat " TOLVANE_SOURCE_DIR "/README.md");
    const std::string manual = testsupport::run("cat " TOLVANE_SOURCE_DIR "/docs/tolvane.8");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        if (row.status == 252 && immutable.status != 0)
            continue; // no chattr +i under /tmp
        if (row.ini.empty())
            std::remove((dir / "Tolvane.ini").c_str());
        else
            writeIniText(row.ini);
        const int guard = row.guardHeld ? holdInstanceGuard() : -1;
        EXPECT_EQ(row.status, runCommand(row.command).status);
        if (guard >= 0)
            close(guard);
        const std::string code = std::to_string(row.status);
        EXPECT_NE(std::string::npos, help.find(code));
        EXPECT_NE(std::string::npos, readme.find("| " + code + " |"));
        EXPECT_NE(std::string::npos, manual.find("\n.TP\n.B" + std::string(row.status > 1 ? "R " : " ") + code));
    }
    EXPECT_EQ(0u, help.find("Usage: tolvane -lock | -unlock | -status\n"));
    const std::string version = runProgram("--version").output;
    EXPECT_EQ(0u, version.find("tolvane "));
    EXPECT_NE(std::string::npos, manual.find("\"Tolvane " + version.substr(8, version.size() - 9) + "\""));
}

// Sets an environment variable for the runs in its scope.
struct ScopedVariable {
    ScopedVariable(const char* name, const std::string& value) : name(name)
    {
        if (const char* was = std::getenv(name))
            saved = was;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable()
    {
        if (saved.empty())
            unsetenv(name);
        else
            setenv(name, saved.c_str(), 1);
    }
    const char* name;
    std::string saved;
};

// Work spread over threads, with entries opened a window at a time through
// io_uring, must change nothing a run shows against one thread of plain
// calls: the same lines in the same order, the same status and the same
// ACLs, with failures provoked for real in several chunks of a large folder
// (a file that refuses its ACL, a folder its user may not list, a
// configured folder gone).
TEST_F(ProgramTest, FailuresLogTheSameWithOneAndWithFourWorkers)
{
    inData("mkdir W R && for n in $(seq 1500); do : > W/f$n; done && mkdir W/s1 W/s2 W/shut"
           " && : > W/s1/g && for n in $(seq 80); do : > R/f$n; done && chown -R 65534:65534 W R"
           " && chown root:root W/shut && chmod 000 W/shut");
    testsupport::run("chown 65534:65534 " + shellQuote(dir.path()));
    std::vector<std::string> inW;
    for (const std::string& name : words(testsupport::run("ls -U " + shellQuote(data("W")))))
        if (name[0] == 'f')
            inW.push_back(data("W/" + name));
    const ImmutableFile early(inW.at(3));
    const ImmutableFile late(inW.at(1200));
    if (late.status != 0)
        GTEST_SKIP() << "the file system under /tmp does not support chattr +i";
    const std::string saved = dir / "acls";
    testsupport::run("cd / && getfacl -RpEn " + shellQuote(data("W")) + " " + shellQuote(data("R")) +
                     " > " + shellQuote(saved));
    writeIni({data("W"), data("gone"), data("R")});

    // Several threads take the path the suite runs with (io_uring unless it says 0).
    const char* path = std::getenv("TOLVANE_IO_URING");
    const std::string severalThreadsPath = path != nullptr ? path : "1";
    for (const char* action : {"-lock", "-unlock"}) {
        std::vector<std::pair<ProgramRun, std::map<std::string, std::string>>> outcomes;
        for (const int threads : {1, 4}) {
            testsupport::run("cd / && setfacl --restore=" + shellQuote(saved));
            const ScopedVariable workers("TOLVANE_THREADS", std::to_string(threads));
            const ScopedVariable ring("TOLVANE_IO_URING", threads == 1 ? "0" : severalThreadsPath);
            outcomes.emplace_back(runCommand(std::string("setpriv --reuid=65534 --regid=65534 "
                                                         "--clear-groups {program} ") + action),
                                  aclTree(dir / "data"));
        }
        SCOPED_TRACE(action);
        EXPECT_EQ(253, outcomes[0].first.status);
        EXPECT_EQ(11u, outcomes[0].first.log.size());
        EXPECT_EQ(outcomes[0].first.status, outcomes[1].first.status);
        EXPECT_EQ(outcomes[0].first.log, outcomes[1].first.log);
        EXPECT_EQ(outcomes[0].second, outcomes[1].second);
        EXPECT_EQ("INFO [WinMain]: WinMain :: Entries are opened and closed by plain calls: "
                  "TOLVANE_IO_URING is 0",
                  outcomes[0].first.openPath);
        const Lines& own = outcomes[0].first.own;
        EXPECT_NE(own.end(), std::find(own.begin(), own.end(),
                                       "WARN [WinMain]: WinMain :: Access was denied and this run is "
                                       "not root's: tolvane needs root to read and change every entry"));
    }
}

bool guardIsHeld()
{
    const int probe = holdInstanceGuard();
    if (probe >= 0)
        close(probe);
    return probe < 0;
}

TEST_F(ProgramTest, SecondInstanceIsRefusedWithoutReadingTheConfiguration)
{
    inData("mkdir A && : > A/f");
    writeIniText("[FOLDER]\nNB_FOLDER=3\nFOLDER_1=" + data("A") + "\n");
    const auto before = aclTree(data("A"));
    const int guard = holdInstanceGuard();
    ASSERT_GE(guard, 0) << "something else holds the instance guard";
    const ProgramRun refused = runProgram("-lock");
    close(guard);

    EXPECT_EQ(250, refused.status);
    EXPECT_EQ("", refused.output);
    EXPECT_EQ((Lines{line::anotherInstance(), line::end()}), refused.log);
    EXPECT_EQ(before, aclTree(data("A")));
}

TEST_F(ProgramTest, RunningInstanceRefusesOthersUntilItIsKilled)
{
    // A FIFO for its log configuration stops the first run in its first
    // message, right after it took the guard.
    testsupport::TempDir holderDir;
    testsupport::run("mkfifo " + shellQuote(holderDir / "LogTolvane.xml"));
    Child holder;
    startProgram(&holder, holderDir.path(), "-lock");
    for (int tries = 0; tries < 100 && !guardIsHeld(); ++tries)
        usleep(100 * 1000);
    ASSERT_TRUE(guardIsHeld());
    ASSERT_EQ(0, waitpid(holder.pid, nullptr, WNOHANG)) << "the first run did not stay";

    inData("mkdir A && : > A/f");
    writeIni({data("A")});
    const ProgramRun refused = runProgram("-lock");
    EXPECT_EQ(250, refused.status);
    EXPECT_EQ((Lines{line::anotherInstance(), line::end()}), refused.log);

    holder.killNow();
    const ProgramRun next = runProgram("-lock");
    EXPECT_EQ(1, next.status);
    EXPECT_EQ((Lines{line::start(), line::success(true, data("A")), line::end()}), next.log);
}

// A file with two links in the tree is locked and unlocked like any other;
// one linked in from outside while locked has no record, and unlock leaves
// it as it is.
TEST_F(ProgramTest, LinksBelowAFolderAreNeitherFollowedNorModified)
{
    inData("mkdir -p T/sub outside/dir && : > T/f && : > T/sub/g && : > outside/file"
           " && : > outside/dir/inner && chmod 666 outside/file"
           " && ln -s ../outside/file T/tofile && ln -s ../../outside/dir T/sub/todir"
           " && ln -s .. T/sub/up && ln -s " + shellQuote(data("T")) + " T/sub/self"
           " && ln -s ../outside/gone T/dangling"
           " && : > T/pair && setfacl -m g:100:r T/pair && ln T/pair T/sub/pair");
    const auto beforeTree = aclTree(data("T"));
    const auto beforeOutside = aclTree(data("outside"));
    writeIni({data("T")});

    for (const bool lock : {true, false}) {
        SCOPED_TRACE(lock ? "-lock" : "-unlock");
        if (!lock)
            inData("ln outside/file T/sub/in");
        const ProgramRun result = runProgram(lock ? "-lock" : "-unlock");
        auto expected = afterRun(beforeTree, lock);
        EXPECT_EQ(1, result.status);
        EXPECT_EQ((Lines{line::start(), line::success(lock, data("T")), line::end()}), result.log);
        if (!lock)
            expected[data("T/sub/in")] = beforeOutside.at(data("outside/file"));
        EXPECT_EQ(expected, aclTree(data("T")));
        EXPECT_EQ(beforeOutside, aclTree(data("outside")));
    }
}

// A record belongs to the lock of the configured folder that made it: a file
// of tree A linked into tree B is given back by A's unlock, not by B's.
TEST_F(ProgramTest, AnUnlockGivesBackOnlyWhatItsOwnFolderLocked)
{
    inData("mkdir -p A B && : > A/shared && setfacl -m u:65534:rw A/shared && ln A/shared B/link");
    const auto before = aclTree(data("A"));
    writeIni({data("A"), data("B")});
    ASSERT_EQ(1, runProgram("-lock").status);
    writeIni({data("B")});
    const ProgramRun unlockB = runProgram("-unlock");
    EXPECT_EQ(1, unlockB.status);
    EXPECT_EQ(afterRun(before, true), aclTree(data("A"))) << "A stays locked";
    EXPECT_NE(std::find(unlockB.own.begin(), unlockB.own.end(),
                        line::foreignRecords(1, data("B"), data("B/link"))),
              unlockB.own.end());
    writeIni({data("A")});
    EXPECT_EQ(1, runProgram("-unlock").status);
    EXPECT_EQ(before, aclTree(data("A")));
}

// What a root job makes in a locked tree inherits the locked default ACL;
// the unlock gives it what the same made after the unlock gets. A file made
// before the lock that merely looks the same keeps its ACL.
TEST_F(ProgramTest, WhatWasMadeWhileLockedOpensWithItsFolder)
{
    inData("mkdir T && setfacl -m d:g:100:rwx,d:u::rwx,d:o::r-x T && : > outside"
           " && sleep 0.01");
    writeIni({data("T")});
    ASSERT_EQ(1, runProgram("-lock").status);
    inData("setfacl --set-file=- outside <<EOF\n$(touch T/probe && getfacl -cp T/probe && rm T/probe)\nEOF\n"
           "mv outside T/kept && touch T/new && mkdir T/dir && touch T/dir/inner");
    if (testsupport::run("stat -c %W " + shellQuote(data("T/new"))) == "0\n")
        GTEST_SKIP() << "no birth times on this file system";
    const std::string kept = testsupport::getfacl(data("T/kept"));
    const ProgramRun unlocked = runProgram("-unlock");
    EXPECT_EQ(1, unlocked.status);
    inData("touch T/refnew && mkdir T/refdir && touch T/refdir/inner");
    EXPECT_EQ(testsupport::getfacl(data("T/refnew")), testsupport::getfacl(data("T/new")));
    EXPECT_EQ(testsupport::getfacl(data("T/refdir")), testsupport::getfacl(data("T/dir")));
    EXPECT_EQ(testsupport::getfacl(data("T/refdir/inner")), testsupport::getfacl(data("T/dir/inner")));
    EXPECT_EQ(kept, testsupport::getfacl(data("T/kept")));
    const auto opened = std::count_if(unlocked.own.begin(), unlocked.own.end(), [](const std::string& l) {
        return l.rfind("INFO ", 0) == 0 && l.find("was made while its folder was locked") != std::string::npos &&
               l.find("T/kept") == std::string::npos;
    });
    EXPECT_EQ(3, opened) << "one INFO line each, none for T/kept";
}

// The walk stays on the configured folder's file system, as find -xdev does.
TEST_F(ProgramTest, AMountPointBelowAFolderIsNamedNeitherChangedNorEntered)
{
    inData("mkdir -p T/mnt && : > T/f");
    if (std::system(("mount -t tmpfs -o mode=0777 tolvane-test " + shellQuote(data("T/mnt"))).c_str()) != 0)
        GTEST_SKIP() << "cannot mount tmpfs here";
    inData(": > T/mnt/inside && chmod 666 T/mnt/inside");
    const auto before = aclTree(data("T"));
    writeIni({data("T")});
    const ProgramRun result = runProgram("-lock");
    const auto after = aclTree(data("T"));
    testsupport::run("umount " + shellQuote(data("T/mnt")));
    EXPECT_EQ(1, result.status);
    const std::string note = "WARN [C_TolvaneManager::recursiveFolderPermissionAccess]: "
                             "C_TolvaneManager::recursiveFolderPermissionAccess :: " +
                             data("T/mnt") + " is a mount point: another file system is "
                             "neither changed nor entered; list it in Tolvane.ini to lock it";
    EXPECT_EQ((Lines{line::start(), line::success(true, data("T")), line::end()}), result.log);
    EXPECT_EQ(note, result.own.at(0));
    auto expected = afterRun(before, true);
    expected[data("T/mnt")] = before.at(data("T/mnt"));
    expected[data("T/mnt/inside")] = before.at(data("T/mnt/inside"));
    EXPECT_EQ(expected, after);
}

TEST_F(ProgramTest, ConfiguredFolderThatIsALinkIsWalked)
{
    inData("mkdir -p real/sub && : > real/f && : > real/sub/g && ln -s real viaLink");
    const auto before = aclTree(data("real"));
    writeIni({data("viaLink")});

    const ProgramRun result = runProgram("-lock");
    EXPECT_EQ(1, result.status);
    EXPECT_EQ((Lines{line::start(), line::success(true, data("viaLink")), line::end()}), result.log);
    EXPECT_EQ(mapAcls(before, withoutWrite), aclTree(data("real")));
}

// log4cxx's configuration watcher keeps the process from exiting unless it
// is shut down, with or without a file to watch.
TEST_F(ProgramTest, EndsPromptlyWithOrWithoutALogConfiguration)
{
    inData("mkdir A && : > A/f");
    writeIni({data("A")});
    const ProgramRun configured = runProgram("-lock");
    EXPECT_EQ(1, configured.status);
    EXPECT_EQ(3u, configured.log.size());
    EXPECT_LT(configured.seconds, 5.0);

    std::remove((dir / "LogTolvane.xml").c_str());
    const ProgramRun bare = runProgram("-unlock");
    EXPECT_EQ(1, bare.status);
    EXPECT_TRUE(bare.log.empty());
    EXPECT_LT(bare.seconds, 5.0);
}

// A user who nests folders past PATH_MAX and moves a victim's file down
// there must not keep it writable: every entry is opened from its open
// folder, whatever the length of its path.
TEST_F(ProgramTest, TreeDeeperThanPathMaxIsLockedToTheBottom)
{
    // Built in steps of 100 levels with relative names, so that no single
    // path handed to the system is too long.
    inData("mkdir deep && mkdir -m 777 deep/shared && : > deep/shared/victim && chmod 666 "
           "deep/shared/victim && mkdir deep/u && chown 65534:65534 deep/u && cd deep"
           " && p=$(printf 'dd/%.0s' $(seq 100)) && i=0"
           " && while [ $i -lt 21 ]; do mkdir -p \"$p\" && cd -P \"$p\" || exit 1; i=$((i+1)); done");
    const std::string nest = "for i in $(seq 17); do mkdir " + std::string(255, 'n') +
                             " && cd -P " + std::string(255, 'n') + " || exit 1; done";
    int status = -1;
    testsupport::run("cd " + shellQuote(data("deep/u")) +
                         " && setpriv --reuid=65534 --regid=65534 --clear-groups sh -c " +
                         shellQuote(nest + " && mv " + shellQuote(data("deep/shared/victim")) + " ."),
                     &status);
    ASSERT_EQ(0, status);
    writeIni({data("deep")});

    const ProgramRun result = runProgram("-lock");
    EXPECT_EQ(1, result.status) << result.output;
    EXPECT_EQ((Lines{line::start(), line::success(true, data("deep")), line::end()}), result.log);

    const std::string inDeep = "cd " + shellQuote(data("deep")) + " && find . ";
    EXPECT_EQ("2121\n", testsupport::run(inDeep + "| wc -l"));
    EXPECT_EQ("0\n", testsupport::run(inDeep + "-perm /222 | wc -l"));
    EXPECT_EQ("1\n", testsupport::run(inDeep + "-name victim | wc -l"));
}

// Far deeper than PATH_MAX and than the open-file limit: built and checked
// from the open folder above each level, as the program walks it.
TEST_F(ProgramTest, TwentyThousandNestedFoldersAreLockedToTheBottom)
{
    constexpr int kLevels = 20000;
    int level = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int depth = 0; depth <= kLevels && level >= 0; ++depth) {
        const char* name = depth == 0 ? "chain" : "d";
        const int below = mkdirat(level, name, 0777) == 0 ? openat(level, name, O_RDONLY | O_CLOEXEC) : -1;
        close(level);
        level = below;
    }
    ASSERT_GE(level, 0);
    close(openat(level, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0666));
    close(level);
    writeIni({dir / "chain"});

    const ProgramRun result = runProgram("-lock");
    EXPECT_EQ(1, result.status) << result.output;
    EXPECT_EQ((Lines{line::start(), line::success(true, dir / "chain"), line::end()}), result.log);
    level = open((dir / "chain").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int depth = 0; depth < kLevels && level >= 0; ++depth) {
        const int below = openat(level, "d", O_RDONLY | O_CLOEXEC);
        close(level);
        level = below;
    }
    struct stat bottom {};
    EXPECT_EQ(0, fstatat(level, "f", &bottom, AT_SYMLINK_NOFOLLOW));
    EXPECT_EQ(0444u, bottom.st_mode & 0777u);
    // Taken down from the bottom by the same means: rm -rf is slow this deep.
    unlinkat(level, "f", 0);
    for (int depth = kLevels; depth > 0 && level >= 0; --depth) {
        const int above = openat(level, "..", O_RDONLY | O_CLOEXEC);
        close(level);
        level = above;
        unlinkat(level, "d", AT_REMOVEDIR);
    }
    close(level);
}

} // namespace
} // namespace e2e
