#include "ProgramSupport.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <csignal>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

using testsupport::run;
using testsupport::shellQuote;

ProgramTest::ProgramTest()
{
    testsupport::writeLogConfig(dir.path(), dir / "tolvane.log");
    testsupport::makeDirectories(dir / "data");
    // Each test keeps its own record store, as systemd's StateDirectory= would.
    setenv("STATE_DIRECTORY", (dir / "state").c_str(), 1);
}

void ProgramTest::writeIni(const std::vector<std::string>& folders) const
{
    std::string text = "[FOLDER]\nNB_FOLDER=" + std::to_string(folders.size()) + "\n";
    for (std::size_t index = 0; index < folders.size(); ++index)
        text += "FOLDER_" + std::to_string(index + 1) + "=" + folders[index] + "\n";
    writeIniText(text);
}

void ProgramTest::writeIniText(const std::string& text) const
{
    testsupport::writeFile(dir / "Tolvane.ini", text);
}

ProgramRun ProgramTest::runProgram(const std::string& arguments, const std::string& launcher) const
{
    return runCommand(launcher + (launcher.empty() ? "" : " ") + "{program} " + arguments);
}

ProgramRun ProgramTest::runCommand(std::string commandLine) const
{
    const std::string logFile = dir / "tolvane.log";
    std::remove(logFile.c_str());
    commandLine.replace(commandLine.find("{program}"), 9, "timeout 60 " + shellQuote(TOLVANE_BINARY));
    ProgramRun result;
    const auto started = std::chrono::steady_clock::now();
    result.output =
        run("cd " + shellQuote(dir.path()) + " && " + commandLine + " 2>&1", &result.status);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    for (std::string& text : testsupport::readLines(logFile)) {
        const bool own = text.rfind("INFO ", 0) == 0 || text.rfind("WARN ", 0) == 0;
        if (own && text.find(" :: Entries are opened and closed ") != std::string::npos)
            result.openPath = std::move(text);
        else
            (own ? result.own : result.log).push_back(std::move(text));
    }
    return result;
}

void ProgramTest::inData(const std::string& script) const
{
    int status = 0;
    const std::string output =
        run("cd " + shellQuote(dir / "data") + " && { " + script + "; } 2>&1", &status);
    ASSERT_EQ(0, status) << script << "\n" << output;
}

std::map<std::string, std::string> aclTree(const std::string& root)
{
    std::map<std::string, std::string> tree;
    std::istringstream listing(run("getfacl -RpEn -- " + shellQuote(root) + " 2>&1"));
    std::string current;
    for (std::string text; std::getline(listing, text);) {
        if (text.rfind("# file: ", 0) == 0)
            current = text.substr(8);
        else if (!text.empty() && text[0] != '#')
            tree[current] += text + "\n";
    }
    // An empty listing would make every comparison of two of them pass.
    if (tree.empty())
        ADD_FAILURE() << "getfacl listed nothing below " << root;
    return tree;
}

namespace {

// Applies `change` to the rights field ("rwx") that ends every entry line.
template <typename Change>
std::string changeRights(const std::string& acl, Change change)
{
    std::istringstream in(acl);
    std::string out;
    for (std::string entry; std::getline(in, entry);) {
        const std::size_t rights = entry.rfind(':') + 1;
        if (entry.size() == rights + 3)
            change(&entry[rights]);
        out += entry + "\n";
    }
    return out;
}

} // namespace

std::string withoutWrite(const std::string& acl)
{
    return changeRights(acl, [](char* rights) { rights[1] = '-'; });
}

std::map<std::string, std::string> mapAcls(std::map<std::string, std::string> tree,
                                           std::string (*change)(const std::string&))
{
    for (auto& entry : tree)
        entry.second = change(entry.second);
    return tree;
}

std::map<std::string, std::string> afterRun(const std::map<std::string, std::string>& before,
                                            bool lock)
{
    return lock ? mapAcls(before, withoutWrite) : before;
}

// Abstract names are kept apart per socket type, so this has to be a
// datagram socket like the one a run binds.
int bindAbstractGuardName()
{
    const std::string name = "Global\\{CFF99109-6635-466D-9A06-1FCF59AEE10B}";
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int socketFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd >= 0 && bind(socketFd, reinterpret_cast<sockaddr*>(&address), length) == 0)
        return socketFd;
    if (socketFd >= 0)
        close(socketFd);
    return -1;
}

namespace {

int shellStatus(int raw)
{
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

} // namespace

int Child::killNow()
{
    int raw = 0;
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &raw, 0);
    }
    pid = -1;
    return shellStatus(raw);
}

int Child::wait()
{
    int raw = 0;
    waitpid(pid, &raw, 0);
    pid = -1;
    return shellStatus(raw);
}

void startProgram(Child* child, const std::string& directory, const char* argument,
                  std::chrono::steady_clock::time_point startAt, bool withoutSysAdmin)
{
    child->pid = fork();
    if (child->pid != 0)
        return;
    const int devNull = open("/dev/null", O_RDWR);
    if (chdir(directory.c_str()) != 0 || dup2(devNull, 1) < 0 || dup2(devNull, 2) < 0)
        _exit(127);
    alarm(60);
    while (std::chrono::steady_clock::now() < startAt) {
    }
    // Root's next program then holds every capability but that one.
    if (withoutSysAdmin && prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN, 0, 0, 0) != 0)
        _exit(127);
    execl(TOLVANE_BINARY, TOLVANE_BINARY, argument, static_cast<char*>(nullptr));
    _exit(127);
}

int holdInstanceGuard()
{
    if (geteuid() != 0)
        return bindAbstractGuardName();
    const int fd = open("/run/tolvane-{CFF99109-6635-466D-9A06-1FCF59AEE10B}.lock",
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

std::string asNobody(const std::string& script)
{
    return "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c " + shellQuote(script);
}

namespace line {

namespace {
const std::string winMain = "[WinMain]: WinMain :: ";
const std::string modification =
    "[C_TolvaneManager::filePermissionModification]: C_TolvaneManager::filePermissionModification"
    " :: ReturnCode = -4 : ";
} // namespace

std::string start() { return "DEBUG " + winMain + "Tolvane Application is running.."; }
std::string end() { return "DEBUG " + winMain + "Tolvane Application ended running"; }

std::string success(bool lock, const std::string& folder)
{
    return "DEBUG " + winMain + "ReturnCode = 1 : " + (lock ? "Lock" : "Unlock") +
           " writing Permission for file (" + folder + ") with Success";
}

std::string wrongArgument()
{
    return "ERROR " + winMain +
           "ReturnCode = -1 : Passed argument is incorrect, try '-lock' or '-unlock' ";
}

std::string emptyFolderList() { return "ERROR " + winMain + "ReturnCode = -2 : Empty Folder list"; }
std::string anotherInstance()
{
    return "ERROR " + winMain + "ReturnCode = -6 : Another instance is running";
}

std::string missing(const std::string& path)
{
    return "ERROR [C_TolvaneManager::isFileExists]: C_TolvaneManager::isFileExists"
           " :: ReturnCode = -3 : File " + path + " doesn't exist";
}

std::string readFailed(bool lock, const std::string& path)
{
    const std::string tag = lock ? "C_TolvaneManager::lockWritingPermission"
                                 : "C_TolvaneManager::unlockWritingPermission";
    return "ERROR [" + tag + "]: " + tag +
           " :: ReturnCode = -4 : Getting Security Information Failed for " + path;
}

std::string writeFailed(bool lock, const std::string& path)
{
    const std::string tag = lock ? "C_TolvaneManager::lockWritingPermission"
                                 : "C_TolvaneManager::unlockWritingPermission";
    return "ERROR [" + tag + "]: " + tag +
           " :: ReturnCode = -4 : Setting file new security descriptor Failed for " + path;
}

std::string recordNotKept(const std::string& path)
{
    const std::string tag = "C_TolvaneManager::lockWritingPermission";
    return "ERROR [" + tag + "]: " + tag + " :: ReturnCode = -4 : Storing write record Failed, " +
           "unlock leaves it locked, for " + path;
}

std::string foreignRecords(int count, const std::string& folder, const std::string& first)
{
    const std::string tag = "C_TolvaneManager::recursiveFolderPermissionAccess";
    return "WARN [" + tag + "]: " + tag + " :: " + std::to_string(count) + " entries below " +
           folder + " hold the write record of another configured folder's lock; left as they "
           "are for its own unlock, the first: " + first;
}

std::string reason(const std::string& tag, const std::string& text, const std::string& path)
{
    return "WARN [" + tag + "]: " + tag + " :: Reason: " + text + ", for " + path;
}

std::string modificationFailed(bool lock, const std::string& path)
{
    return "ERROR " + modification + (lock ? "Locking" : "Unlocking") +
           " writing permission for File ( " + path + " ) failed ";
}

} // namespace line

} // namespace e2e
