// The process-wide manager: the configured folder list, the last ReturnCode
// stored by any of its operations, and the lock and unlock of folder trees.
#ifndef TOLVANE_C_TOLVANE_MANAGER_H
#define TOLVANE_C_TOLVANE_MANAGER_H

#include "ReturnCode.h"

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

    // The one manager, created with the folder list read from Tolvane.ini.
    static C_TolvaneManager* getInstance();
    // Deletes the manager; the next getInstance reads the list again.
    static void destroyInstance();

    // The folders read when the manager was created, in the file's order.
    std::vector<std::string> getFoldersPaths() const;
    // 1 while nothing has failed, else the code of the most recent failure.
    std::int32_t getReturnCode() const { return returnCode; }

    // Reads FOLDER_1..FOLDER_n; an unreadable count gives the empty list.
    std::vector<std::string> loadFoldersPaths();
    // Reads [FOLDER].key into `value`, logging why it could not.
    void readIniValue(const std::string& key, std::string& value);
    // Reads [FOLDER].NB_FOLDER; returns whether `value` was written.
    bool readIniValue(int& value);
    // Whether `path` exists; logs the -3 line when it does not.
    bool isFileExists(const std::string& path);
    // Logs the -3 line of a path that does not exist.
    void reportMissing(const std::string& path);

    // Changes `path` and, for a folder, everything below it; true when the
    // path itself and every file listed directly in it were changed. A
    // failure never stops the rest of a folder from being handled.
    bool recursiveFolderPermissionAccess(const std::string& path, bool lock);
    // Locks or unlocks one path, logging the -4 line when that fails.
    bool filePermissionModification(const std::string& path, bool lock);
    // Takes the write-data right away from every entry of the path's DACL.
    bool lockWritingPermission(const std::string& path);
    // Gives the write-data right back to the path's DACL.
    bool unlockWritingPermission(const std::string& path);

    C_TolvaneManager(const C_TolvaneManager&) = delete;
    C_TolvaneManager& operator=(const C_TolvaneManager&) = delete;

private:
    class FailedStepLog;

    // How the configuration's lines and the walk's lines name a POCO
    // exception; the two spellings are the system's own.
    static constexpr char kPocoLabel[] = "Poco Exception ";
    static constexpr char kPocoUpperLabel[] = "POCO Exception ";

    C_TolvaneManager();

    bool rewriteWritePermission(const std::string& path, const std::string& tag,
                                const winsec::AceRule& rule);
    bool visitEntry(const std::string& entry, FileKind kind, bool lock);
    bool readFolderCount(int& count);
    Poco::AutoPtr<Poco::Util::IniFileConfiguration> configurationHolding(const std::string& key);
    // Logs codedHead(tag, code) + text at error level and stores `code`.
    void failWith(ReturnCode code, const std::string& tag, const std::string& text);
    // Logs codedHead(tag, -7) + text at fatal level and stores -7.
    void fatalWith(const std::string& tag, const std::string& text);
    void fatalWithCurrentException(const std::string& tag, const char* pocoLabel);
    void logFatalLine(const std::string& line);

    std::vector<std::string> foldersPaths;
    std::int32_t returnCode;
    // Paths -unlock left as they were for want of a record although they
    // look locked, counted per configured folder for one debug line.
    struct UnrecordedCount {
        std::uint64_t paths = 0;
        std::string first;
        void count(const std::string& path);
    };
    void reportUnrecordedLocked(const std::string& folder);

    // Levels of the folder walk in progress; 0 between configured folders.
    int walkDepth = 0;
    UnrecordedCount unrecordedLocked;

    static C_TolvaneManager* instance;
};

#endif
