// A manager living in a temporary current directory with a valid one-folder
// Tolvane.ini and a LogTolvane.xml that writes "%p %m%n" to a log file.
#ifndef TOLVANE_MANAGER_FIXTURE_H
#define TOLVANE_MANAGER_FIXTURE_H

#include "app/C_Logger.h"
#include "app/C_TolvaneManager.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

class ManagerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::writeLogConfig(dir.path(), dir / "test.log");
        testsupport::writeFile(dir / "Tolvane.ini", "[FOLDER]\nNB_FOLDER=1\nFOLDER_1=tree\n");
        C_Logger::logConfigDirectory = dir.path() + "/";
        inside = std::make_unique<testsupport::ScopedCurrentDirectory>(dir.path());
    }

    void TearDown() override
    {
        shutDown();
        inside.reset();
    }

    C_TolvaneManager& manager() { return *C_TolvaneManager::getInstance(); }

    void shutDown()
    {
        C_TolvaneManager::destroyInstance();
        C_Logger::destroyInstance();
    }

    // Ends the manager and the logger, so that the log is complete.
    std::vector<std::string> logLines()
    {
        shutDown();
        return testsupport::readLines(dir / "test.log");
    }

    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedCurrentDirectory> inside;
};

#endif
