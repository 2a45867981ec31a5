// The run's log and its exit status: every line goes through here, on the
// thread that runs the sequence, and each failure line written stores its
// code. The status is 1 while nothing has failed, else the code of the
// failure written last.
#ifndef TOLVANE_APP_RUN_LOG_H
#define TOLVANE_APP_RUN_LOG_H

#include "app/LogLines.h"

#include <cstdint>
#include <string>

class C_Logger;

class RunLog {
public:
    explicit RunLog(C_Logger& logger) : logger(logger) {}
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Writes `lines` in order and stores the code of each failure line.
    void write(const LogLines& lines);
    // codedHead(tag, code) + text, at error level, its code stored.
    void fail(ReturnCode code, const std::string& tag, const std::string& text);
    // codedHead(tag, -7) + text at fatal level, -7 stored.
    void fatal(const std::string& tag, const std::string& text);
    // A progress line: stores nothing.
    void debug(const std::string& line);
    // Lines of the run's own beside the system's: they store nothing.
    void info(const std::string& line);
    void warn(const std::string& line);

    std::int32_t returnCode() const { return code; }

private:
    C_Logger& logger;
    std::int32_t code = static_cast<std::int32_t>(ReturnCode::Success);
};

#endif
