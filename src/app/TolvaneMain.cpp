#include "app/TolvaneMain.h"

#include "app/C_Logger.h"
#include "app/C_TolvaneManager.h"
#include "app/InstanceGuard.h"
#include "app/ReturnCode.h"
#include "app/RunInputs.h"

#include <cstdio>
#include <vector>

namespace {

const std::string tag = "WinMain";

void logDebug(const std::string& text)
{
    C_Logger::getInstance()->logDebug(taggedHead(tag) + text);
}

void logCoded(ReturnCode code, const std::string& text)
{
    C_Logger* logger = C_Logger::getInstance();
    if (code == ReturnCode::Success)
        logger->logDebug(codedHead(tag, code) + text);
    else
        logger->logError(codedHead(tag, code) + text);
}

bool isValidArgument(const std::optional<std::string>& argument)
{
    return argument && (*argument == "-lock" || *argument == "-unlock");
}

int walkFolders(const std::vector<std::string>& folders, bool lock)
{
    int result = static_cast<int>(ReturnCode::Success);
    C_TolvaneManager* manager = C_TolvaneManager::getInstance();
    for (const std::string& folder : folders) {
        if (manager->recursiveFolderPermissionAccess(folder, lock))
            logCoded(ReturnCode::Success, std::string(lock ? "Lock" : "Unlock") +
                                              " writing Permission for file (" + folder +
                                              ") with Success");
        result = manager->getReturnCode();
    }
    return result;
}

// The configuration is read before the argument is looked at, so its
// problems are logged even when the argument is wrong.
int runFolders(const std::optional<std::string>& argument)
{
    logDebug(" :: Tolvane Application is running..");
    const std::vector<std::string> folders = C_TolvaneManager::getInstance()->getFoldersPaths();
    if (!isValidArgument(argument)) {
        logCoded(ReturnCode::WrongArgument, "Passed argument is incorrect, try '-lock' or '-unlock' ");
        return static_cast<int>(ReturnCode::WrongArgument);
    }
    if (folders.empty()) {
        logCoded(ReturnCode::Configuration, "Empty Folder list");
        return static_cast<int>(ReturnCode::Configuration);
    }
    return walkFolders(folders, *argument == "-lock");
}

// Said on standard error (the journal, under systemd) whatever happens, and
// in the log only when its set-up is the administrator's own.
int refuseToStart(const InputRefusal& refusal)
{
    const std::string text = "Refusing to run: " + refusal.reason;
    std::fprintf(stderr, "%s\n", (codedHead(tag, ReturnCode::Configuration) + text).c_str());
    if (refusal.logTrusted) {
        logCoded(ReturnCode::Configuration, text);
        C_Logger::destroyInstance();
    }
    return static_cast<int>(ReturnCode::Configuration);
}

} // namespace

int runTolvane(const std::optional<std::string>& argument, const std::string& currentDirectory)
{
    int result = static_cast<int>(ReturnCode::Success);
    const InstanceGuard guard = InstanceGuard::acquire();
    C_Logger::logConfigDirectory = currentDirectory;
    // Even the line that another instance runs goes to the log set-up.
    if (const std::optional<InputRefusal> refusal = refusedInputs(currentDirectory))
        return refuseToStart(*refusal);
    if (guard.alreadyExisted()) {
        logCoded(ReturnCode::AnotherInstance, "Another instance is running");
        result = static_cast<int>(ReturnCode::AnotherInstance);
    } else {
        result = runFolders(argument);
    }
    logDebug(" :: Tolvane Application ended running");
    C_TolvaneManager::destroyInstance();
    C_Logger::destroyInstance();
    return result; // the guard closes last, as it goes out of scope
}
