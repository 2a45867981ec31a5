#include "app/RunLog.h"

#include "app/C_Logger.h"

// The logger is reached only for a line to write: most entries have none.
void RunLog::write(const LogLines& lines)
{
    for (const LogLines::Line& line : lines.all()) {
        switch (line.level) {
        case LogLines::Level::Info:
            logger.logInfo(line.text);
            continue;
        case LogLines::Level::Warn:
            logger.logWarn(line.text);
            continue;
        case LogLines::Level::Fatal:
            logger.logFatal(line.text);
            break;
        case LogLines::Level::Error:
            logger.logError(line.text);
            break;
        }
        code = static_cast<std::int32_t>(line.code);
    }
}

void RunLog::fail(ReturnCode failure, const std::string& tag, const std::string& text)
{
    LogLines lines;
    lines.error(failure, tag, text);
    write(lines);
}

void RunLog::fatal(const std::string& tag, const std::string& text)
{
    LogLines lines;
    lines.fatal(tag, text);
    write(lines);
}

void RunLog::debug(const std::string& line)
{
    logger.logDebug(line);
}

void RunLog::info(const std::string& line)
{
    logger.logInfo(line);
}

void RunLog::warn(const std::string& line)
{
    logger.logWarn(line);
}
