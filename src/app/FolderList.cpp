#include "app/FolderList.h"

#include "app/ExceptionText.h"
#include "app/LogTexts.h"
#include "app/RunLog.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Util/IniFileConfiguration.h>

#include <algorithm>

namespace {

const int kMaximumFolderCount = 99;
const std::string kSection = "FOLDER";
const std::string kCountKey = "NB_FOLDER";
const std::string kPathKeyPrefix = "FOLDER_";

std::string pathKey(int number)
{
    return kPathKeyPrefix + std::to_string(number);
}

// "Configuration file : [FOLDER].<key>".
std::string keyText(const std::string& key)
{
    return logtext::kConfigurationKeyBefore + kSection + "]." + key;
}

// POCO's INI reader never reaches the end of a directory or a FIFO: it would
// spin or block for ever. Anything but a regular file fails like a file that
// cannot be opened.
Poco::AutoPtr<Poco::Util::IniFileConfiguration> openConfiguration()
{
    if (!Poco::File(kFolderListFileName).isFile())
        throw Poco::OpenFileException(kFolderListFileName, "not a regular file");
    return new Poco::Util::IniFileConfiguration(kFolderListFileName);
}

} // namespace

std::vector<std::string> FolderListReader::read()
{
    std::vector<std::string> folders;
    try {
        int count = 0;
        if (!fileExists(kFolderListFileName) || !readFolderCount(count))
            return folders;
        for (int number = 1; number <= std::min(count, kMaximumFolderCount); ++number) {
            std::string value;
            readPath(pathKey(number), value);
            folders.push_back(value);
        }
    } catch (...) {
        log.fatal(logtext::kLoadTag,
                  exceptionText(std::current_exception(), logtext::kPocoLabel));
    }
    return folders;
}

// A count that could not be read ends the load without a folder: its own
// read has already logged why.
bool FolderListReader::readFolderCount(int& count)
{
    if (!readCount(count))
        return false;
    if (count >= 1)
        return true;
    log.fail(ReturnCode::Configuration, logtext::kLoadTag, keyText(kCountKey) + logtext::kWrongValue);
    return false;
}

// Every read opens and parses the file afresh.
Poco::AutoPtr<Poco::Util::IniFileConfiguration>
FolderListReader::configurationHolding(const std::string& key)
{
    if (!fileExists(kFolderListFileName)) {
        log.fail(ReturnCode::Configuration, logtext::kReadTag, logtext::kConfigurationUnfound);
        return nullptr;
    }
    Poco::AutoPtr<Poco::Util::IniFileConfiguration> configuration = openConfiguration();
    if (configuration->hasOption(kSection + "." + key))
        return configuration;
    log.fail(ReturnCode::Configuration, logtext::kReadTag, keyText(key) + logtext::kUnfoundParameter);
    return nullptr;
}

void FolderListReader::readPath(const std::string& key, std::string& value)
{
    try {
        Poco::AutoPtr<Poco::Util::IniFileConfiguration> configuration = configurationHolding(key);
        if (configuration.isNull())
            return;
        value = configuration->getString(kSection + "." + key);
        if (value.empty())
            log.fail(ReturnCode::Configuration, logtext::kReadTag, keyText(key) + logtext::kEmptyValue);
    } catch (const Poco::Exception& e) {
        log.fatal(logtext::kReadTag, pocoExceptionText(logtext::kPocoLabel, e));
    }
}

bool FolderListReader::readCount(int& value)
{
    try {
        Poco::AutoPtr<Poco::Util::IniFileConfiguration> configuration =
            configurationHolding(kCountKey);
        if (configuration.isNull())
            return false;
        value = configuration->getInt(kSection + "." + kCountKey, 0);
        return true;
    } catch (const Poco::Exception& e) {
        LogLines lines;
        lines.fatalLine(taggedHead(logtext::kReadTag) +
                        pocoExceptionText(logtext::kCountReadPocoCode, e));
        log.write(lines);
    }
    return false;
}

// No file name holds a NUL byte, yet the system calls behind Poco::File stop
// reading the path at one: "dir\0x" would pass for "dir".
bool FolderListReader::fileExists(const std::string& path)
{
    try {
        if (!path.empty() && path.find('\0') == std::string::npos && Poco::File(path).exists())
            return true;
    } catch (const Poco::Exception& e) {
        log.fatal(logtext::kExistsTag, pocoExceptionText(logtext::kPocoUpperLabel, e));
        return false;
    }
    log.fail(ReturnCode::Missing, logtext::kExistsTag, missingPathText(path));
    return false;
}

std::string missingPathText(const std::string& path)
{
    return logtext::kFileWord + path + logtext::kDoesNotExist;
}
