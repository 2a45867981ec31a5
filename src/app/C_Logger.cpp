#include "app/C_Logger.h"

#include "app/LogText.h"

#include <log4cxx/helpers/transcoder.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/xml/domconfigurator.h>

#include <clocale>
#include <memory>

const std::string C_Logger::logConfigFileName = "LogTolvane.xml";
const std::string C_Logger::loggerName = "Tolvane";
std::string C_Logger::logConfigDirectory;
Poco::Mutex C_Logger::instanceMutex;
std::atomic<C_Logger*> C_Logger::instance{nullptr};
bool C_Logger::watcherStopped = false;

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

C_Logger::C_Logger() : logger(), enabled(false)
{
    useUtf8Characters();
    const std::string configurationPath = logConfigDirectory + logConfigFileName;
    // log4cxx 1.0 cannot start its watcher again once shutdown has stopped it
    // (it would delete the old one a second time), so an instance made after
    // destroyInstance reads the file once.
    if (watcherStopped)
        log4cxx::xml::DOMConfigurator::configure(configurationPath);
    else
        log4cxx::xml::DOMConfigurator::configureAndWatch(configurationPath);
    logger = log4cxx::Logger::getLogger(loggerName);
    enabled = logger != nullptr;
}

C_Logger* C_Logger::getInstance()
{
    C_Logger* existing = instance.load(std::memory_order_acquire);
    if (existing != nullptr)
        return existing;
    Poco::Mutex::ScopedLock lock(instanceMutex);
    if (instance.load(std::memory_order_relaxed) == nullptr) {
        std::unique_ptr<C_Logger> created(new C_Logger());
        instance.store(created.release(), std::memory_order_release);
    }
    return instance.load(std::memory_order_relaxed);
}

void C_Logger::destroyInstance()
{
    C_Logger* existing = instance.exchange(nullptr);
    if (existing == nullptr)
        return;
    delete existing;
    // Stops the configuration watcher and closes the appenders now: log4cxx
    // 1.0's watcher thread would otherwise block process exit for ever.
    log4cxx::LogManager::shutdown();
    watcherStopped = true;
}

void C_Logger::logDebug(const std::string& message)
{
    if (enabled && logger->isDebugEnabled())
        emit(log4cxx::Level::getDebug(), message, LOG4CXX_LOCATION);
}

void C_Logger::logError(const std::string& message)
{
    if (enabled && logger->isErrorEnabled())
        emit(log4cxx::Level::getError(), message, LOG4CXX_LOCATION);
}

void C_Logger::logFatal(const std::string& message)
{
    if (enabled && logger->isFatalEnabled())
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
