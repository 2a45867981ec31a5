// The process-wide manager: the configured folder list, the last ReturnCode
// stored by any of its operations, and the lock and unlock of folder trees.
#ifndef TOLVANE_C_TOLVANE_MANAGER_H
#define TOLVANE_C_TOLVANE_MANAGER_H

#include "app/HeldLines.h"
#include "app/ReturnCode.h"

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
class ObjectName;
} // namespace winsec

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
    // Holds the -3 line of a path that does not exist.
    static void reportMissing(const std::string& path, HeldLines& log);

    // Changes `path` and, for a folder, everything below it (FolderWalk.h),
    // on walkThreads() threads; true when the path itself and every file
    // listed directly in it were changed. A failure never stops the rest of
    // a folder from being handled.
    bool recursiveFolderPermissionAccess(const std::string& path, bool lock);
    // Locks or unlocks one entry, its lines into `log`, with the -4 line
    // when that fails. Safe on several threads at once for different entries.
    bool filePermissionModification(const winsec::ObjectName& entry, bool lock, HeldLines& log);
    // Takes the write-data right away from every entry of the object's DACL.
    bool lockWritingPermission(const winsec::ObjectName& entry, HeldLines& log);
    // Gives the write-data right back to the object's DACL.
    bool unlockWritingPermission(const winsec::ObjectName& entry, HeldLines& log);
    // The same for one path outside any walk, its lines written at once.
    bool lockWritingPermission(const std::string& path);
    bool unlockWritingPermission(const std::string& path);

    // Writes `lines` in order and stores the code of each one written.
    void write(const HeldLines& lines);

    C_TolvaneManager(const C_TolvaneManager&) = delete;
    C_TolvaneManager& operator=(const C_TolvaneManager&) = delete;

private:
    class FailedStepLog;
    class WalkVisitor;

    // How the configuration's lines and the walk's lines name a POCO
    // exception; the two spellings are the system's own.
    static constexpr char kPocoLabel[] = "Poco Exception ";
    static constexpr char kPocoUpperLabel[] = "POCO Exception ";

    C_TolvaneManager();

    bool rewriteWritePermission(const winsec::ObjectName& entry, const std::string& tag,
                                const winsec::AceRule& rule, HeldLines& log);
    bool readFolderCount(int& count);
    Poco::AutoPtr<Poco::Util::IniFileConfiguration> configurationHolding(const std::string& key);
    // Logs codedHead(tag, code) + text at error level and stores `code`.
    void failWith(ReturnCode code, const std::string& tag, const std::string& text);
    // Logs codedHead(tag, -7) + text at fatal level and stores -7.
    void fatalWith(const std::string& tag, const std::string& text);
    // Holds the fatal line of the exception being handled in `log`.
    static void holdCurrentException(const std::string& tag, const char* pocoLabel,
                                     HeldLines& log);

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

    UnrecordedCount unrecordedLocked;

    static C_TolvaneManager* instance;
};

#endif
