#include "app/C_TolvaneManager.h"

#include "app/C_Logger.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Util/IniFileConfiguration.h>

#include <algorithm>
#include <sstream>

const std::string C_TolvaneManager::configFileName = "Tolvane.ini";
const std::string C_TolvaneManager::folderSection = "FOLDER";
const std::string C_TolvaneManager::folderCountKey = "NB_FOLDER";
const std::string C_TolvaneManager::folderKeyPrefix = "FOLDER_";

C_TolvaneManager* C_TolvaneManager::instance = nullptr;

namespace {

const int maximumFolderCount = 99;

const std::string loadTag = "C_TolvaneManager::loadFoldersPaths";
const std::string readTag = "C_TolvaneManager::readIniValue";
const std::string existsTag = "C_TolvaneManager::isFileExists";

// "<label><name> -- <message>", how every line names a POCO exception.
std::string describe(const char* label, const Poco::Exception& e)
{
    return std::string(label) + e.name() + " -- " + e.message();
}

std::string folderKey(int number)
{
    std::ostringstream key;
    key << C_TolvaneManager::folderKeyPrefix << number;
    return key.str();
}

// POCO's INI reader never reaches the end of a directory or a FIFO: it would
// spin or block for ever. Anything but a regular file fails like a file that
// cannot be opened.
Poco::AutoPtr<Poco::Util::IniFileConfiguration> openConfiguration()
{
    if (!Poco::File(C_TolvaneManager::configFileName).isFile())
        throw Poco::OpenFileException(C_TolvaneManager::configFileName, "not a regular file");
    return new Poco::Util::IniFileConfiguration(C_TolvaneManager::configFileName);
}

} // namespace

C_TolvaneManager::C_TolvaneManager() : foldersPaths(), returnCode(1)
{
    foldersPaths = loadFoldersPaths();
}

C_TolvaneManager* C_TolvaneManager::getInstance()
{
    if (instance == nullptr)
        instance = new C_TolvaneManager();
    return instance;
}

void C_TolvaneManager::destroyInstance()
{
    delete instance;
    instance = nullptr;
}

std::vector<std::string> C_TolvaneManager::getFoldersPaths() const
{
    return foldersPaths;
}

// The logger is reached only for a line to write: most entries have none.
void C_TolvaneManager::write(const HeldLines& lines)
{
    if (lines.empty())
        return;
    C_Logger* logger = C_Logger::getInstance();
    for (const HeldLines::Line& line : lines.all()) {
        if (line.level == HeldLines::Level::UnrecordedLocked) {
            unrecordedLocked.count(line.text);
            continue;
        }
        if (line.level == HeldLines::Level::Fatal)
            logger->logFatal(line.text);
        else
            logger->logError(line.text);
        returnCode = static_cast<std::int32_t>(line.code);
    }
}

void C_TolvaneManager::failWith(ReturnCode code, const std::string& tag, const std::string& text)
{
    HeldLines lines;
    lines.error(code, tag, text);
    write(lines);
}

void C_TolvaneManager::fatalWith(const std::string& tag, const std::string& text)
{
    HeldLines lines;
    lines.fatal(tag, text);
    write(lines);
}

// Called from inside a catch handler. `pocoLabel` names POCO's exceptions
// with their name and message; without it they count as std exceptions.
void C_TolvaneManager::holdCurrentException(const std::string& tag, const char* pocoLabel,
                                            HeldLines& log)
{
    try {
        throw;
    } catch (const Poco::Exception& e) {
        if (pocoLabel == nullptr)
            log.fatal(tag, std::string("STD Exception ") + e.what());
        else
            log.fatal(tag, describe(pocoLabel, e));
    } catch (const std::exception& e) {
        log.fatal(tag, std::string("STD Exception ") + e.what());
    } catch (...) {
        log.fatal(tag, kUnknownExceptionText);
    }
}

std::vector<std::string> C_TolvaneManager::loadFoldersPaths()
{
    std::vector<std::string> folders;
    try {
        int count = 0;
        if (!isFileExists(configFileName) || !readFolderCount(count))
            return folders;
        for (int number = 1; number <= std::min(count, maximumFolderCount); ++number) {
            std::string value;
            readIniValue(folderKey(number), value);
            folders.push_back(value);
        }
    } catch (...) {
        HeldLines lines;
        holdCurrentException(loadTag, kPocoLabel, lines);
        write(lines);
    }
    return folders;
}

// A count that could not be read ends the load without a folder: its own
// read has already logged why.
bool C_TolvaneManager::readFolderCount(int& count)
{
    if (!readIniValue(count))
        return false;
    if (count >= 1)
        return true;
    failWith(ReturnCode::Configuration, loadTag,
             "Configuration file : [" + folderSection + "]." + folderCountKey +
                 " Wrong value introduced");
    return false;
}

// Every read opens and parses the file afresh.
Poco::AutoPtr<Poco::Util::IniFileConfiguration>
C_TolvaneManager::configurationHolding(const std::string& key)
{
    if (!isFileExists(configFileName)) {
        failWith(ReturnCode::Configuration, readTag, "Configuration file unfound");
        return nullptr;
    }
    Poco::AutoPtr<Poco::Util::IniFileConfiguration> configuration = openConfiguration();
    if (configuration->hasOption(folderSection + "." + key))
        return configuration;
    failWith(ReturnCode::Configuration, readTag,
             "Configuration file : [" + folderSection + "]." + key + " unfound parameter");
    return nullptr;
}

void C_TolvaneManager::readIniValue(const std::string& key, std::string& value)
{
    try {
        Poco::AutoPtr<Poco::Util::IniFileConfiguration> configuration = configurationHolding(key);
        if (configuration.isNull())
            return;
        value = configuration->getString(folderSection + "." + key);
        if (value.empty())
            failWith(ReturnCode::Configuration, readTag,
                     "Configuration file : [" + folderSection + "]." + key + " Empty value");
    } catch (const Poco::Exception& e) {
        fatalWith(readTag, describe(kPocoLabel, e));
    }
}

bool C_TolvaneManager::readIniValue(int& value)
{
    try {
        Poco::AutoPtr<Poco::Util::IniFileConfiguration> configuration =
            configurationHolding(folderCountKey);
        if (configuration.isNull())
            return false;
        value = configuration->getInt(folderSection + "." + folderCountKey, 0);
        return true;
    } catch (const Poco::Exception& e) {
        HeldLines lines;
        lines.fatalLine(taggedHead(readTag) + describe(kCountReadPocoCode, e));
        write(lines);
    }
    return false;
}

// No file name holds a NUL byte, yet the system calls behind Poco::File stop
// reading the path at one: "dir\0x" would pass for "dir", and every entry
// listed below it would again look like that folder, for ever.
bool C_TolvaneManager::isFileExists(const std::string& path)
{
    try {
        if (!path.empty() && path.find('\0') == std::string::npos && Poco::File(path).exists())
            return true;
    } catch (const Poco::Exception& e) {
        fatalWith(existsTag, describe(kPocoUpperLabel, e));
        return false;
    }
    HeldLines lines;
    reportMissing(path, lines);
    write(lines);
    return false;
}

void C_TolvaneManager::reportMissing(const std::string& path, HeldLines& log)
{
    log.error(ReturnCode::Missing, existsTag, "File " + path + " doesn't exist");
}
