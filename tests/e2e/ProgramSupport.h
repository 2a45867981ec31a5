// Runs of the real program in a scratch directory of their own, and the
// exact log lines those runs are expected to write.
#ifndef TOLVANE_E2E_PROGRAM_SUPPORT_H
#define TOLVANE_E2E_PROGRAM_SUPPORT_H

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace e2e {

struct ProgramRun {
    int status = -1;              // as the shell sees it: 0..255, 128+signal, 124 on timeout
    std::string output;           // standard output and error together
    // The lines this run appended to the log file: the system's lines (DEBUG,
    // ERROR, FATAL) in `log`, which the program's own lines (INFO, WARN) in
    // `own` must leave exactly as they were.
    std::vector<std::string> log;
    std::vector<std::string> own;
    std::string openPath; // the own line that says how entries are opened
    double seconds = 0;           // wall time
};

// The program's current directory holds LogTolvane.xml ("%p %m%n" into
// tolvane.log) and Tolvane.ini; the trees it works on live in data/, so that
// locking them never locks the log or the configuration.
class ProgramTest : public ::testing::Test {
protected:
    ProgramTest();

    std::string data(const std::string& relative) const { return dir / ("data/" + relative); }
    void writeIni(const std::vector<std::string>& folders) const;
    void writeIniText(const std::string& text) const;
    // `arguments` go to the shell as written: quote them yourself. The
    // program is started through `launcher` (setpriv ..., say) when given.
    ProgramRun runProgram(const std::string& arguments, const std::string& launcher = "") const;
    // Runs `commandLine` in the program's directory; "{program}" in it
    // stands for the program behind its timeout.
    ProgramRun runCommand(std::string commandLine) const;
    // Runs a shell script inside data/; fails the test if it fails.
    void inData(const std::string& script) const;

    testsupport::TempDir dir;
};

// Path -> `getfacl -pEn` entries of every file and folder below `root`
// (links are not listed).
std::map<std::string, std::string> aclTree(const std::string& root);
// What the lock makes of a listing: no w anywhere.
std::string withoutWrite(const std::string& acl);
std::map<std::string, std::string> mapAcls(std::map<std::string, std::string> tree,
                                           std::string (*change)(const std::string&));
// What a run makes of a tree `before` the first -lock: -lock clears every w,
// -unlock gives back exactly what the lock took.
std::map<std::string, std::string> afterRun(const std::map<std::string, std::string>& before,
                                            bool lock);

// A forked child that is killed and reaped at the end of the test, however
// the test ends.
struct Child {
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { killNow(); }
    // Its status as the shell would give it.
    int killNow();
    int wait();
    pid_t pid = -1;
};

// Runs the program in `directory` without a shell between, so that the
// test can signal the program itself. Spins until `startAt` first; without
// CAP_SYS_ADMIN in its bounding set when asked.
void startProgram(Child* child, const std::string& directory, const char* argument,
                  std::chrono::steady_clock::time_point startAt = {},
                  bool withoutSysAdmin = false);

// Takes the machine-wide instance guard as a run by this user does (as
// root: the lock file under /run); -1 when it is taken.
int holdInstanceGuard();
// Binds the abstract socket name any user can bind; -1 when it is taken.
int bindAbstractGuardName();

// A shell command line running `script` as uid and gid 65534, no groups.
std::string asNobody(const std::string& script);

namespace line {
std::string start();
std::string end();
std::string success(bool lock, const std::string& folder);
std::string wrongArgument();
std::string emptyFolderList();
std::string anotherInstance();
std::string missing(const std::string& path);
std::string readFailed(bool lock, const std::string& path);
std::string writeFailed(bool lock, const std::string& path);
std::string modificationFailed(bool lock, const std::string& path);
std::string recordNotKept(const std::string& path);
std::string foreignRecords(int count, const std::string& folder, const std::string& first);
std::string reason(const std::string& tag, const std::string& text, const std::string& path);
} // namespace line

} // namespace e2e

#endif
