// The configured folders, read from Tolvane.ini in the current directory:
// section FOLDER, a count NB_FOLDER and the paths FOLDER_1 .. FOLDER_n, at
// most 99. Every problem with the file is logged, its code stored, and the
// list is whatever could be read.
#ifndef TOLVANE_APP_FOLDER_LIST_H
#define TOLVANE_APP_FOLDER_LIST_H

#include <Poco/AutoPtr.h>

#include <string>
#include <vector>

namespace Poco::Util {
class IniFileConfiguration;
}

class RunLog;

constexpr char kFolderListFileName[] = "Tolvane.ini";

class FolderListReader {
public:
    explicit FolderListReader(RunLog& log) : log(log) {}

    // FOLDER_1..FOLDER_n in key order; empty when the count is unreadable.
    // A key that is missing or empty stays in the list as an empty path.
    std::vector<std::string> read();
    // [FOLDER].key into `value`, the file read afresh; logs why it could not.
    void readPath(const std::string& key, std::string& value);
    // Whether `path` exists; logs the -3 line when it does not.
    bool fileExists(const std::string& path);

private:
    bool readFolderCount(int& count);
    bool readCount(int& value);
    Poco::AutoPtr<Poco::Util::IniFileConfiguration> configurationHolding(const std::string& key);

    RunLog& log;
};

// The text of the -3 line of a path that does not exist, under kExistsTag.
std::string missingPathText(const std::string& path);

#endif
