// The one road by which the program writes its trail: a process-wide facade
// over the log4cxx logger "Tolvane", configured from LogTolvane.xml.
#ifndef TOLVANE_C_LOGGER_H
#define TOLVANE_C_LOGGER_H

#include <Poco/Mutex.h>
#include <log4cxx/logger.h>

#include <atomic>
#include <string>

class C_Logger {
public:
    static const std::string logConfigFileName;
    static const std::string loggerName;
    // Prefix of the configuration path, joined to the file name as it is.
    static std::string logConfigDirectory;

    static C_Logger* getInstance();
    static void destroyInstance();

    void logDebug(const std::string& message);
    void logError(const std::string& message);
    void logFatal(const std::string& message);

    C_Logger(const C_Logger&) = delete;
    C_Logger& operator=(const C_Logger&) = delete;

private:
    C_Logger();
    // Called only after the level test passed, so a disabled level builds
    // nothing.
    void emit(const log4cxx::LevelPtr& level, const std::string& message,
              const log4cxx::spi::LocationInfo& location);

    log4cxx::LoggerPtr logger;
    bool enabled;

    static Poco::Mutex instanceMutex;
    // Atomic so that the unlocked first test sees either null or a complete
    // object, never a pointer published before construction ended.
    static std::atomic<C_Logger*> instance;
    static bool watcherStopped;
};

#endif
