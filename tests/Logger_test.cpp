// The logging facade against a real log4cxx configuration and log file.
#include "app/C_Logger.h"
#include "TestSupport.h"

#include <log4cxx/helpers/filewatchdog.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace testsupport;
using ::testing::ElementsAre;

namespace {

class LoggerTest : public ::testing::Test {
protected:
    C_Logger& logger()
    {
        if (facade == nullptr)
            facade = std::make_unique<C_Logger>(dir / "LogTolvane.xml", C_Logger::Watch::Never);
        return *facade;
    }

    std::vector<std::string> logAfterShutdown()
    {
        facade.reset();
        return readLines(dir / "test.log");
    }

    TempDir dir;
    std::unique_ptr<C_Logger> facade;
};

TEST_F(LoggerTest, ThresholdErrorDropsDebugOnly)
{
    writeLogConfig(dir.path(), dir / "test.log", "ERROR");
    logger().logDebug("debug");
    logger().logError("error");
    logger().logFatal("fatal");
    logger().logError("");
    EXPECT_THAT(logAfterShutdown(), ElementsAre("ERROR error", "FATAL fatal", "ERROR "));
}

TEST_F(LoggerTest, ALoggerAfterAnotherWritesOnToTheSameLog)
{
    writeLogConfig(dir.path(), dir / "test.log");
    logger().logDebug("before");
    facade.reset();
    logger().logDebug("after");
    EXPECT_THAT(logAfterShutdown(), ElementsAre("DEBUG before", "DEBUG after"));
}

TEST_F(LoggerTest, LocationNamesTheFacadeAndItsEntryPoint)
{
    writeFile(dir / "LogTolvane.xml",
              "<?xml version=\"1.0\" ?>\n"
              "<log4j:configuration xmlns:log4j=\"http://jakarta.apache.org/log4j/\">\n"
              "<appender name=\"f\" class=\"org.apache.log4j.FileAppender\">\n"
              "<param name=\"File\" value=\"" + dir / "test.log" + "\"/>\n"
              "<layout class=\"org.apache.log4j.PatternLayout\">\n"
              "<param name=\"ConversionPattern\" value=\"%F|%M|%m%n\"/></layout></appender>\n"
              "<root><priority value=\"DEBUG\"/><appender-ref ref=\"f\"/></root>\n"
              "</log4j:configuration>\n");
    logger().logFatal("m");
    std::vector<std::string> log = logAfterShutdown();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_THAT(log[0], ::testing::MatchesRegex("src/C_Logger.cpp\\|.*logFatal.*\\|m"));
}

TEST_F(LoggerTest, ARelativeConfigurationIsReadFromTheCurrentDirectory)
{
    writeLogConfig(dir.path(), dir / "test.log");
    ScopedCurrentDirectory inside(dir.path());
    facade = std::make_unique<C_Logger>(std::string("./") + kLogConfigFileName, C_Logger::Watch::Never);
    logger().logDebug("here");
    EXPECT_THAT(logAfterShutdown(), ElementsAre("DEBUG here"));
}

// A watcher can be started only once per process, so this runs in a fresh
// process of its own.
TEST(LoggerWatchTest, EditedConfigurationTakesEffectWhileRunning)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            TempDir dir;
            log4cxx::helpers::FileWatchdog::DEFAULT_DELAY = 100;
            writeLogConfig(dir.path(), dir / "test.log", "ERROR");
            auto logger =
                std::make_unique<C_Logger>(dir / "LogTolvane.xml", C_Logger::Watch::Changes);
            logger->logDebug("dropped");
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            writeLogConfig(dir.path(), dir / "test.log", "DEBUG");
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            logger->logDebug("kept");
            logger.reset();
            std::exit(readLines(dir / "test.log") == std::vector<std::string>{"DEBUG kept"} ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
