#include "app/Run.h"

#include "app/C_Logger.h"
#include "app/EntryRewrite.h"
#include "app/EntryStatus.h"
#include "app/FolderList.h"
#include "app/InstanceGuard.h"
#include "app/LogTexts.h"
#include "app/RunInputs.h"
#include "app/RunLog.h"
#include "app/TreeRewrite.h"
#include "app/TreeStatus.h"
#include "walk/OpenAhead.h"
#include "winsec/SecurityApi.h"

#include <clocale>
#include <cstdio>
#include <vector>

namespace {

enum class Command { Lock, Unlock, Status };

std::optional<Command> commandOf(const std::optional<std::string>& argument)
{
    if (argument && *argument == "-lock")
        return Command::Lock;
    if (argument && *argument == "-unlock")
        return Command::Unlock;
    if (argument && *argument == "-status")
        return Command::Status;
    return std::nullopt;
}

std::string successText(const std::string& folder, bool lock)
{
    return std::string(lock ? logtext::kLockWord : logtext::kUnlockWord) +
           logtext::kSuccessBefore + folder + logtext::kSuccessAfter;
}

// Each folder in list order; true when the system refused a right anywhere.
bool rewriteFolders(const std::vector<std::string>& folders, bool lock, winsec::SecurityApi& api,
                    const walk::WalkOptions& options, RunLog& log)
{
    const EntryRewrite entries(api, lock);
    bool denied = false;
    for (const std::string& folder : folders) {
        TreeRewrite tree(entries, log, options);
        if (tree.run(folder))
            log.debug(codedHead(logtext::kMainTag, ReturnCode::Success) + successText(folder, lock));
        denied = tree.metAccessDenial() || denied;
    }
    return denied;
}

// One line on standard output per folder, as soon as its walk ends.
bool printStatusOfFolders(const std::vector<std::string>& folders, winsec::SecurityApi& api,
                          const walk::WalkOptions& options, RunLog& log)
{
    const EntryStatus entries(api);
    bool denied = false;
    for (const std::string& folder : folders) {
        TreeStatus tree(entries, log, options);
        const std::string line = tree.run(folder) + "\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
        denied = tree.metAccessDenial() || denied;
    }
    return denied;
}

// Whether the walk opens ahead is settled once, and said.
walk::WalkOptions walkOptionsOf(const RunSettings& settings, RunLog& log)
{
    const std::string problem =
        settings.openAhead ? walk::openAheadProblem() : logtext::kOpenAheadOff;
    const std::string path =
        problem.empty() ? logtext::kOpeningAhead : logtext::kOpeningByCalls + problem;
    log.info(taggedHead(logtext::kMainTag) + path);
    return walk::WalkOptions(settings.threads, problem.empty());
}

// The security operations are opened once the run knows it will walk, and
// before any walk thread starts.
int walkFolders(const std::vector<std::string>& folders, Command command,
                const RunSettings& settings, RunLog& log)
{
    const std::unique_ptr<winsec::SecurityApi> api =
        winsec::openSystemSecurityApi(winsec::BackendSettings{settings.stateFolder, folders});
    const walk::WalkOptions options = walkOptionsOf(settings, log);
    const bool denied = command == Command::Status
                            ? printStatusOfFolders(folders, *api, options, log)
                            : rewriteFolders(folders, command == Command::Lock, *api, options, log);
    if (denied && !settings.privileged)
        log.warn(taggedHead(logtext::kMainTag) + logtext::kNeedsRoot);
    const std::string problem = api->recordKeepingProblem();
    if (!problem.empty())
        log.warn(taggedHead(logtext::kMainTag) + logtext::kRecordStoreNotUsed + problem);
    const std::string missing = api->privilegeProblem();
    if (!missing.empty())
        log.warn(taggedHead(logtext::kMainTag) + " :: " + missing);
    return log.returnCode();
}

// The configuration is read before the argument is looked at, so its
// problems are logged even when the argument is wrong.
int runFolders(const std::optional<Command> command, const RunSettings& settings, RunLog& log)
{
    log.debug(taggedHead(logtext::kMainTag) + logtext::kRunning);
    const std::vector<std::string> folders = FolderListReader(log).read();
    if (!command) {
        log.fail(ReturnCode::WrongArgument, logtext::kMainTag, logtext::kWrongArgument);
        return static_cast<int>(ReturnCode::WrongArgument);
    }
    if (folders.empty()) {
        log.fail(ReturnCode::Configuration, logtext::kMainTag, logtext::kEmptyFolderList);
        return static_cast<int>(ReturnCode::Configuration);
    }
    return walkFolders(folders, *command, settings, log);
}

// Said on standard error (the journal, under systemd) whatever happens, and
// in the log only when its set-up is the administrator's own.
int refuseToStart(const InputRefusal& refusal, const std::string& configurationPath)
{
    const std::string text = logtext::kRefusingToRun + refusal.reason;
    std::fprintf(stderr, "%s\n", (codedHead(logtext::kMainTag, ReturnCode::Configuration) + text).c_str());
    if (refusal.logTrusted) {
        C_Logger logger(configurationPath, C_Logger::Watch::Never);
        RunLog(logger).fail(ReturnCode::Configuration, logtext::kMainTag, text);
    }
    return static_cast<int>(ReturnCode::Configuration);
}

// -status changes nothing, so it takes no guard and runs beside a lock or an
// unlock; any other argument, a wrong one too, meets the guard first.
std::optional<InstanceGuard> guardFor(const std::optional<Command> command)
{
    if (command == Command::Status)
        return std::nullopt;
    return InstanceGuard::acquire();
}

} // namespace

void useUtf8Characters()
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
}

int runTolvane(const std::optional<std::string>& argument, const RunSettings& settings)
{
    const std::optional<Command> command = commandOf(argument);
    const std::optional<InstanceGuard> guard = guardFor(command);
    const std::string configurationPath = settings.currentDirectory + kLogConfigFileName;
    // Even the line that another instance runs goes to the log set-up.
    if (const std::optional<InputRefusal> refusal = refusedInputs(settings.currentDirectory))
        return refuseToStart(*refusal, configurationPath);
    C_Logger logger(configurationPath, C_Logger::Watch::Changes);
    RunLog log(logger);
    if (guard && !guard->weakness().empty())
        log.warn(taggedHead(logtext::kMainTag) + " :: " + guard->weakness());
    int result = static_cast<int>(ReturnCode::AnotherInstance);
    if (guard && guard->alreadyExisted())
        log.fail(ReturnCode::AnotherInstance, logtext::kMainTag, logtext::kAnotherInstance);
    else
        result = runFolders(command, settings, log);
    log.debug(taggedHead(logtext::kMainTag) + logtext::kEnded);
    return result; // the logger shuts down, then the guard closes
}
