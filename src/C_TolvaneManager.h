// The process-wide manager: the configured folder list, the last ReturnCode
// stored by any of its operations, and the lock and unlock of folder trees.
#ifndef TOLVANE_C_TOLVANE_MANAGER_H
#define TOLVANE_C_TOLVANE_MANAGER_H

#include <Poco/AutoPtr.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Poco {
namespace Util {
class IniFileConfiguration;
}
} // namespace Poco

namespace winsec {
struct AceRule;
}
enum class FileKind;

class C_TolvaneManager {
public:
    static const std::string configFileName;
    static const std::string folderSection;
    static const std::string folderCountKey;
    static const std::string folderKeyPrefix;

    static C_TolvaneManager* getInstance();
    static void destroyInstance();

    std::vector<std::string> getFoldersPaths() const;
    // 1 while nothing has failed, else the code of the most recent failure.
    std::int32_t getReturnCode() const { return returnCode; }

    std::vector<std::string> loadFoldersPaths();
    void readIniValue(const std::string& key, std::string& value);
    // Returns whether `value` was written.
    bool readIniValue(int& value);
    bool isFileExists(const std::string& path);

    bool recursiveFolderPermissionAccess(const std::string& path, bool lock);
    bool filePermissionModification(const std::string& path, bool lock);
    bool lockWritingPermission(const std::string& path);
    bool unlockWritingPermission(const std::string& path);

    C_TolvaneManager(const C_TolvaneManager&) = delete;
    C_TolvaneManager& operator=(const C_TolvaneManager&) = delete;

private:
    class FailedStepLog;

    C_TolvaneManager();

    // "[tag]: tag", the start of every message of the operation `tag`.
    static std::string messagePrefix(const std::string& tag);

    bool rewriteWritePermission(const std::string& path, const std::string& tag,
                                const winsec::AceRule& rule);
    bool visitEntry(const std::string& entry, FileKind kind, bool lock, bool runningResult);
    bool readFolderCount(int& count);
    Poco::AutoPtr<Poco::Util::IniFileConfiguration> configurationHolding(const std::string& key);
    void failWith(std::int32_t code, const std::string& message);
    void fatalWith(const std::string& message);

    std::vector<std::string> foldersPaths;
    std::int32_t returnCode;
    // Levels of the folder walk in progress; 0 between configured folders.
    int walkDepth = 0;

    static C_TolvaneManager* instance;
};

#endif
