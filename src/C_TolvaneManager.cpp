#include "C_TolvaneManager.h"

#include "C_Logger.h"

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

const std::string loadTag = "[C_TolvaneManager::loadFoldersPaths]: C_TolvaneManager::loadFoldersPaths";
const std::string readTag = "[C_TolvaneManager::readIniValue]: C_TolvaneManager::readIniValue";
const std::string existsTag = "[C_TolvaneManager::isFileExists]: C_TolvaneManager::isFileExists";

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

std::string C_TolvaneManager::messagePrefix(const std::string& tag)
{
    return "[" + tag + "]: " + tag;
}

std::vector<std::string> C_TolvaneManager::getFoldersPaths() const
{
    return foldersPaths;
}

void C_TolvaneManager::failWith(std::int32_t code, const std::string& message)
{
    C_Logger::getInstance()->logError(message);
    returnCode = code;
}

void C_TolvaneManager::fatalWith(const std::string& message)
{
    C_Logger::getInstance()->logFatal(message);
    returnCode = -7;
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
    } catch (const Poco::Exception& e) {
        fatalWith(loadTag + " :: ReturnCode = -7 : Poco Exception " + e.name() + " -- " + e.message());
    } catch (const std::exception& e) {
        fatalWith(loadTag + " :: ReturnCode = -7 : STD Exception " + e.what());
    } catch (...) {
        fatalWith(loadTag + " :: ReturnCode = -7 : Exception Uknown Error");
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
    failWith(-2, loadTag + " :: ReturnCode = -2 : Configuration file : [" + folderSection + "]." +
                     folderCountKey + " Wrong value introduced");
    return false;
}

// Every read opens and parses the file afresh.
Poco::AutoPtr<Poco::Util::IniFileConfiguration>
C_TolvaneManager::configurationHolding(const std::string& key)
{
    if (!isFileExists(configFileName)) {
        failWith(-2, readTag + " :: ReturnCode = -2 : Configuration file unfound");
        return nullptr;
    }
    Poco::AutoPtr<Poco::Util::IniFileConfiguration> configuration = openConfiguration();
    if (configuration->hasOption(folderSection + "." + key))
        return configuration;
    failWith(-2, readTag + " :: ReturnCode = -2 : Configuration file : [" + folderSection + "]." +
                     key + " unfound parameter");
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
            failWith(-2, readTag + " :: ReturnCode = -2 : Configuration file : [" + folderSection +
                             "]." + key + " Empty value");
    } catch (const Poco::Exception& e) {
        fatalWith(readTag + " :: ReturnCode = -7 : Poco Exception " + e.name() + " -- " + e.message());
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
        fatalWith(readTag + " :: ReturnCode= -7 : POCO Exception " + e.name() + " -- " + e.message());
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
        fatalWith(existsTag + " :: ReturnCode = -7 : POCO Exception " + e.name() + " -- " + e.message());
        return false;
    }
    failWith(-3, existsTag + " :: ReturnCode = -3 : File " + path + " doesn't exist");
    return false;
}
