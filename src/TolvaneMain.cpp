#include "TolvaneMain.h"

#include "C_Logger.h"
#include "C_TolvaneManager.h"
#include "InstanceGuard.h"

#include <vector>

namespace {

const std::string tag = "[WinMain]: WinMain";

void logDebug(const std::string& text)
{
    C_Logger::getInstance()->logDebug(tag + text);
}

void logError(const std::string& text)
{
    C_Logger::getInstance()->logError(tag + text);
}

bool isValidArgument(const std::optional<std::string>& argument)
{
    return argument && (*argument == "-lock" || *argument == "-unlock");
}

int walkFolders(const std::vector<std::string>& folders, bool lock)
{
    int result = 1;
    C_TolvaneManager* manager = C_TolvaneManager::getInstance();
    for (const std::string& folder : folders) {
        if (manager->recursiveFolderPermissionAccess(folder, lock))
            logDebug(std::string(" :: ReturnCode = 1 : ") + (lock ? "Lock" : "Unlock") +
                     " writing Permission for file (" + folder + ") with Success");
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
        logError(" :: ReturnCode = -1 : Passed argument is incorrect, try '-lock' or '-unlock' ");
        return -1;
    }
    if (folders.empty()) {
        logError(" :: ReturnCode = -2 : Empty Folder list");
        return -2;
    }
    return walkFolders(folders, *argument == "-lock");
}

} // namespace

int runTolvane(const std::optional<std::string>& argument, const std::string& currentDirectory)
{
    int result = 1;
    const InstanceGuard guard = InstanceGuard::acquire();
    C_Logger::logConfigDirectory = currentDirectory;
    if (guard.alreadyExisted()) {
        logError(" :: ReturnCode = -6 : Another instance is running");
        result = -6;
    } else {
        result = runFolders(argument);
    }
    logDebug(" :: Tolvane Application ended running");
    C_TolvaneManager::destroyInstance();
    C_Logger::destroyInstance();
    return result; // the guard closes last, as it goes out of scope
}
