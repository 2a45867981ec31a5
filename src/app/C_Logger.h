// The one road by which the run writes its trail: a facade over the log4cxx
// logger "Tolvane", configured from LogTolvane.xml. Its name is kept for the
// location a log set-up may print (%F, %M: src/C_Logger.cpp and
// C_Logger::logDebug and its siblings); nothing else depends on it.
#ifndef TOLVANE_C_LOGGER_H
#define TOLVANE_C_LOGGER_H

#include <log4cxx/logger.h>

#include <string>

constexpr char kLogConfigFileName[] = "LogTolvane.xml";
constexpr char kLoggerName[] = "Tolvane";

class C_Logger {
public:
    enum class Watch { Changes, Never };

    // Configures log4cxx from `configurationPath`, watching the file for
    // changes or not. log4cxx's set-up belongs to the process, so one
    // C_Logger lives at a time; log4cxx 1.0 cannot start a watcher again
    // once one was stopped, so only the first of a process may watch.
    C_Logger(const std::string& configurationPath, Watch watch);
    // Stops the watcher and closes the appenders: log4cxx 1.0's watcher
    // thread would otherwise block the process's exit for ever.
    ~C_Logger();
    C_Logger(const C_Logger&) = delete;
    C_Logger& operator=(const C_Logger&) = delete;

    void logDebug(const std::string& message);
    void logInfo(const std::string& message);
    void logWarn(const std::string& message);
    void logError(const std::string& message);
    void logFatal(const std::string& message);

private:
    // Called only after the level test passed, so a disabled level builds
    // nothing.
    void emit(const log4cxx::LevelPtr& level, const std::string& message,
              const log4cxx::spi::LocationInfo& location);

    log4cxx::LoggerPtr logger;
};

#endif
