// A run's log living in a temporary current directory with a valid
// one-folder Tolvane.ini and a LogTolvane.xml that writes "%p %m%n" to a log
// file, and the system's security operations with their record store there.
#ifndef TOLVANE_RUN_FIXTURE_H
#define TOLVANE_RUN_FIXTURE_H

#include "app/C_Logger.h"
#include "app/EntryRewrite.h"
#include "app/RunLog.h"
#include "TestSupport.h"
#include "winsec/SecurityApi.h"

#include <gtest/gtest.h>

#include <memory>

class RunFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::writeLogConfig(dir.path(), dir / "test.log");
        testsupport::writeFile(dir / "Tolvane.ini", "[FOLDER]\nNB_FOLDER=1\nFOLDER_1=tree\n");
        inside = std::make_unique<testsupport::ScopedCurrentDirectory>(dir.path());
        system = winsec::openSystemSecurityApi(winsec::BackendSettings{dir / "state", {}});
    }

    void TearDown() override
    {
        shutDown();
        inside.reset();
    }

    RunLog& log()
    {
        if (runLog == nullptr) {
            logger = std::make_unique<C_Logger>(dir / "LogTolvane.xml", C_Logger::Watch::Never);
            runLog = std::make_unique<RunLog>(*logger);
        }
        return *runLog;
    }

    // The DACL of `entry` rewritten through `api`, its lines written.
    bool rewriteDacl(winsec::SecurityApi& api, const winsec::ObjectName& entry, bool lock)
    {
        const EntryOutcome outcome = EntryRewrite(api, lock).rewriteDacl(entry, owner);
        if (!outcome.lines.empty())
            log().write(outcome.lines);
        return outcome.changed;
    }

    void shutDown()
    {
        runLog.reset();
        logger.reset();
    }

    // Ends the log, so that it is complete.
    std::vector<std::string> logLines()
    {
        shutDown();
        return testsupport::readLines(dir / "test.log");
    }

    testsupport::TempDir dir;
    // The lock every rewrite here belongs to.
    const winsec::RecordOwner owner{{1}, 1};
    std::unique_ptr<testsupport::ScopedCurrentDirectory> inside;
    std::unique_ptr<winsec::SecurityApi> system;
    std::unique_ptr<C_Logger> logger;
    std::unique_ptr<RunLog> runLog;
};

#endif
