#include "app/C_Logger.h"

#include "app/LogEscape.h"

#include <log4cxx/helpers/transcoder.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/xml/domconfigurator.h>

#include <clocale>

namespace {

// Debian's log4cxx 1.0 is built without a fixed charset: it decodes a
// std::string message, and an appender without an Encoding encodes each
// line, through the C library's multibyte conversion of the process locale.
// A program that never calls setlocale runs in the C locale, whatever LANG
// says, and there every byte and character beyond ASCII came out as '?'.
// Messages are therefore handed over already decoded from UTF-8, and the
// appenders' conversion is UTF-8 whatever the locale the run started in.
void useUtf8Characters()
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
}

} // namespace

C_Logger::C_Logger(const std::string& configurationPath, Watch watch)
{
    useUtf8Characters();
    if (watch == Watch::Changes)
        log4cxx::xml::DOMConfigurator::configureAndWatch(configurationPath);
    else
        log4cxx::xml::DOMConfigurator::configure(configurationPath);
    logger = log4cxx::Logger::getLogger(kLoggerName);
}

C_Logger::~C_Logger()
{
    log4cxx::LogManager::shutdown();
}

void C_Logger::logDebug(const std::string& message)
{
    if (logger != nullptr && logger->isDebugEnabled())
        emit(log4cxx::Level::getDebug(), message, LOG4CXX_LOCATION);
}

void C_Logger::logInfo(const std::string& message)
{
    if (logger != nullptr && logger->isInfoEnabled())
        emit(log4cxx::Level::getInfo(), message, LOG4CXX_LOCATION);
}

void C_Logger::logWarn(const std::string& message)
{
    if (logger != nullptr && logger->isWarnEnabled())
        emit(log4cxx::Level::getWarn(), message, LOG4CXX_LOCATION);
}

void C_Logger::logError(const std::string& message)
{
    if (logger != nullptr && logger->isErrorEnabled())
        emit(log4cxx::Level::getError(), message, LOG4CXX_LOCATION);
}

void C_Logger::logFatal(const std::string& message)
{
    if (logger != nullptr && logger->isFatalEnabled())
        emit(log4cxx::Level::getFatal(), message, LOG4CXX_LOCATION);
}

// Escaped first, so the text is valid UTF-8 and is decoded as such rather
// than through the locale; no name it holds can break the line.
void C_Logger::emit(const log4cxx::LevelPtr& level, const std::string& message,
                    const log4cxx::spi::LocationInfo& location)
{
    log4cxx::LogString text;
    log4cxx::helpers::Transcoder::decodeUTF8(escapedForLog(message), text);
    logger->forcedLogLS(level, text, location);
}
