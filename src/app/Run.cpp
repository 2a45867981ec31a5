#include "app/Run.h"

#include "app/C_Logger.h"
#include "app/EntryRewrite.h"
#include "app/FolderList.h"
#include "app/InstanceGuard.h"
#include "app/LogTexts.h"
#include "app/RunInputs.h"
#include "app/RunLog.h"
#include "app/TreeRewrite.h"
#include "winsec/SecurityApi.h"

#include <clocale>
#include <cstdio>
#include <vector>

namespace {

bool isValidArgument(const std::optional<std::string>& argument)
{
    return argument && (*argument == "-lock" || *argument == "-unlock");
}

std::string successText(const std::string& folder, bool lock)
{
    return std::string(lock ? logtext::kLockWord : logtext::kUnlockWord) +
           logtext::kSuccessBefore + folder + logtext::kSuccessAfter;
}

// The security operations are opened once the run knows it will walk, and
// before any walk thread starts.
int walkFolders(const std::vector<std::string>& folders, bool lock, const RunSettings& settings,
                RunLog& log)
{
    const std::unique_ptr<winsec::SecurityApi> api =
        winsec::openSystemSecurityApi(winsec::BackendSettings{settings.stateFolder});
    const EntryRewrite entries(*api, lock);
    int result = static_cast<int>(ReturnCode::Success);
    for (const std::string& folder : folders) {
        TreeRewrite tree(entries, log, settings.threads);
        if (tree.run(folder))
            log.debug(codedHead(logtext::kMainTag, ReturnCode::Success) + successText(folder, lock));
        result = log.returnCode();
    }
    return result;
}

// The configuration is read before the argument is looked at, so its
// problems are logged even when the argument is wrong.
int runFolders(const std::optional<std::string>& argument, const RunSettings& settings,
               RunLog& log)
{
    log.debug(taggedHead(logtext::kMainTag) + logtext::kRunning);
    const std::vector<std::string> folders = FolderListReader(log).read();
    if (!isValidArgument(argument)) {
        log.fail(ReturnCode::WrongArgument, logtext::kMainTag, logtext::kWrongArgument);
        return static_cast<int>(ReturnCode::WrongArgument);
    }
    if (folders.empty()) {
        log.fail(ReturnCode::Configuration, logtext::kMainTag, logtext::kEmptyFolderList);
        return static_cast<int>(ReturnCode::Configuration);
    }
    return walkFolders(folders, *argument == "-lock", settings, log);
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

} // namespace

void useUtf8Characters()
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
}

int runTolvane(const std::optional<std::string>& argument, const RunSettings& settings)
{
    const InstanceGuard guard = InstanceGuard::acquire();
    const std::string configurationPath = settings.currentDirectory + kLogConfigFileName;
    // Even the line that another instance runs goes to the log set-up.
    if (const std::optional<InputRefusal> refusal = refusedInputs(settings.currentDirectory))
        return refuseToStart(*refusal, configurationPath);
    C_Logger logger(configurationPath, C_Logger::Watch::Changes);
    RunLog log(logger);
    int result = static_cast<int>(ReturnCode::AnotherInstance);
    if (guard.alreadyExisted())
        log.fail(ReturnCode::AnotherInstance, logtext::kMainTag, logtext::kAnotherInstance);
    else
        result = runFolders(argument, settings, log);
    log.debug(taggedHead(logtext::kMainTag) + logtext::kEnded);
    return result; // the logger shuts down, then the guard closes
}
