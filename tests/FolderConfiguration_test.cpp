// Loading the folder list from Tolvane.ini: the list, the exact log lines and
// the ReturnCode left, against real files in a temporary directory.
#include "app/C_Logger.h"
#include "app/FolderList.h"
#include "app/RunLog.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

using namespace testsupport;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

const std::string readPrefix =
    "ERROR [C_TolvaneManager::readIniValue]: C_TolvaneManager::readIniValue :: ReturnCode = -2 : ";

struct Outcome {
    std::vector<std::string> folders;
    int returnCode;
    std::vector<std::string> log;
};

class FolderConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeLogConfig(dir.path(), dir / "test.log");
        inside = std::make_unique<ScopedCurrentDirectory>(dir.path());
        start();
    }

    void start()
    {
        logger = std::make_unique<C_Logger>(dir / "LogTolvane.xml", C_Logger::Watch::Never);
        log = std::make_unique<RunLog>(*logger);
    }

    void TearDown() override
    {
        shutDown();
        inside.reset();
    }

    void shutDown()
    {
        log.reset();
        logger.reset();
    }

    Outcome load(const std::string& ini)
    {
        writeFile(dir / "Tolvane.ini", ini);
        return loadAsItIs();
    }

    Outcome loadAsItIs()
    {
        if (log == nullptr)
            start();
        std::vector<std::string> folders = FolderListReader(*log).read();
        Outcome outcome{folders, log->returnCode(), {}};
        shutDown();
        outcome.log = readLines(dir / "test.log");
        return outcome;
    }

    TempDir dir;
    std::unique_ptr<ScopedCurrentDirectory> inside;
    std::unique_ptr<C_Logger> logger;
    std::unique_ptr<RunLog> log;
};

std::string iniWithFolders(const std::string& count, int keys)
{
    std::ostringstream ini;
    ini << "[FOLDER]\nNB_FOLDER=" << count << "\n";
    for (int i = 1; i <= keys; ++i)
        ini << "FOLDER_" << i << "=/data/f" << i << "\n";
    return ini.str();
}

TEST_F(FolderConfigurationTest, CleanFileGivesFoldersInKeyOrderSilently)
{
    Outcome outcome = load("; comment\n[OTHER]\nFOLDER_1=/elsewhere\n[FOLDER]\n"
                           "FOLDER_2=/srv/b\nNB_FOLDER=2\nFOLDER_1=/srv/a\n");
    EXPECT_THAT(outcome.folders, ElementsAre("/srv/a", "/srv/b"));
    EXPECT_EQ(outcome.returnCode, 1);
    EXPECT_THAT(outcome.log, IsEmpty());
}

TEST_F(FolderConfigurationTest, MissingFileIsReportedOnceByTheExistenceTest)
{
    Outcome outcome = loadAsItIs();
    EXPECT_THAT(outcome.folders, IsEmpty());
    EXPECT_EQ(outcome.returnCode, -3);
    EXPECT_THAT(outcome.log, ElementsAre("ERROR [C_TolvaneManager::isFileExists]: "
                                         "C_TolvaneManager::isFileExists :: ReturnCode = -3 : "
                                         "File Tolvane.ini doesn't exist"));
}

TEST_F(FolderConfigurationTest, CountBelowOneLoadsNothing)
{
    for (const char* count : {"0", "-5"}) {
        Outcome outcome = load(iniWithFolders(count, 2));
        EXPECT_THAT(outcome.folders, IsEmpty());
        EXPECT_EQ(outcome.returnCode, -2);
        EXPECT_THAT(outcome.log,
                    ElementsAre("ERROR [C_TolvaneManager::loadFoldersPaths]: "
                                "C_TolvaneManager::loadFoldersPaths :: ReturnCode = -2 : "
                                "Configuration file : [FOLDER].NB_FOLDER Wrong value introduced"));
        std::remove((dir / "test.log").c_str());
    }
}

TEST_F(FolderConfigurationTest, UnreadableCountEndsTheLoadWithItsOwnLine)
{
    Outcome absent = load("[FOLDER]\nFOLDER_1=/a\n");
    EXPECT_THAT(absent.folders, IsEmpty());
    EXPECT_EQ(absent.returnCode, -2);
    EXPECT_THAT(absent.log,
                ElementsAre(readPrefix + "Configuration file : [FOLDER].NB_FOLDER unfound parameter"));
    std::remove((dir / "test.log").c_str());

    Outcome garbage = load(iniWithFolders("abc", 1));
    EXPECT_THAT(garbage.folders, IsEmpty());
    EXPECT_EQ(garbage.returnCode, -7);
    ASSERT_EQ(garbage.log.size(), 1u);
    EXPECT_THAT(garbage.log[0], StartsWith("FATAL [C_TolvaneManager::readIniValue]: "
                                           "C_TolvaneManager::readIniValue :: ReturnCode= -7 : "
                                           "POCO Exception Syntax error -- "));
    EXPECT_THAT(garbage.log[0], HasSubstr("abc"));
}

TEST_F(FolderConfigurationTest, AtMostNinetyNineKeysAreRead)
{
    Outcome many = load(iniWithFolders("150", 150));
    ASSERT_EQ(many.folders.size(), 99u);
    EXPECT_EQ(many.folders.back(), "/data/f99");
    EXPECT_EQ(many.returnCode, 1);
    EXPECT_THAT(many.log, IsEmpty());

    Outcome huge = load(iniWithFolders("2147483647", 2));
    EXPECT_EQ(huge.folders.size(), 99u);
    EXPECT_EQ(huge.log.size(), 97u);
    EXPECT_EQ(huge.log.back(), readPrefix + "Configuration file : [FOLDER].FOLDER_99 unfound parameter");
}

TEST_F(FolderConfigurationTest, MissingOrEmptyKeysLeaveEmptyEntries)
{
    Outcome outcome = load("[FOLDER]\nNB_FOLDER=4\nFOLDER_1=/a\nFOLDER_3=\nFOLDER_04=/x\n");
    EXPECT_THAT(outcome.folders, ElementsAre("/a", "", "", ""));
    EXPECT_EQ(outcome.returnCode, -2);
    EXPECT_THAT(outcome.log,
                ElementsAre(readPrefix + "Configuration file : [FOLDER].FOLDER_2 unfound parameter",
                            readPrefix + "Configuration file : [FOLDER].FOLDER_3 Empty value",
                            readPrefix + "Configuration file : [FOLDER].FOLDER_4 unfound parameter"));
}

TEST_F(FolderConfigurationTest, LaterGoodKeyDoesNotClearAnEarlierFailure)
{
    Outcome outcome = load("[FOLDER]\nNB_FOLDER=3\nFOLDER_1=/a\nFOLDER_3=/c\n");
    EXPECT_THAT(outcome.folders, ElementsAre("/a", "", "/c"));
    EXPECT_EQ(outcome.returnCode, -2);
}

TEST_F(FolderConfigurationTest, KeysOutsideTheSectionAreNotFound)
{
    Outcome outcome = load("NB_FOLDER=1\nFOLDER_1=/a\n[OTHER]\nNB_FOLDER=1\n");
    EXPECT_THAT(outcome.folders, IsEmpty());
    EXPECT_THAT(outcome.log,
                ElementsAre(readPrefix + "Configuration file : [FOLDER].NB_FOLDER unfound parameter"));
}

TEST_F(FolderConfigurationTest, ConfigurationThatIsNotARegularFileFailsWithoutHanging)
{
    makeDirectories(dir / "Tolvane.ini");
    Outcome outcome = loadAsItIs();
    EXPECT_THAT(outcome.folders, IsEmpty());
    EXPECT_EQ(outcome.returnCode, -7);
    EXPECT_THAT(outcome.log, ElementsAre("FATAL [C_TolvaneManager::readIniValue]: "
                                         "C_TolvaneManager::readIniValue :: ReturnCode= -7 : "
                                         "POCO Exception Cannot open file -- Tolvane.ini: "
                                         "not a regular file"));
}

TEST_F(FolderConfigurationTest, TextReadReportsAFileThatVanishedOrTurnedIntoAFolder)
{
    writeFile(dir / "Tolvane.ini", iniWithFolders("1", 1));
    FolderListReader reader(*log);
    std::string value = "kept";

    std::remove((dir / "Tolvane.ini").c_str());
    reader.readPath("FOLDER_1", value);
    EXPECT_EQ(log->returnCode(), -2);
    makeDirectories(dir / "Tolvane.ini");
    reader.readPath("FOLDER_1", value);
    EXPECT_EQ(log->returnCode(), -7);
    EXPECT_EQ(value, "kept");

    shutDown();
    EXPECT_THAT(readLines(dir / "test.log"),
                ElementsAre("ERROR [C_TolvaneManager::isFileExists]: C_TolvaneManager::isFileExists"
                            " :: ReturnCode = -3 : File Tolvane.ini doesn't exist",
                            readPrefix + "Configuration file unfound",
                            "FATAL [C_TolvaneManager::readIniValue]: C_TolvaneManager::readIniValue"
                            " :: ReturnCode = -7 : Poco Exception Cannot open file -- Tolvane.ini: "
                            "not a regular file"));
}

TEST_F(FolderConfigurationTest, ExistenceTest)
{
    writeFile(dir / "Tolvane.ini", iniWithFolders("1", 1));
    FolderListReader reader(*log);
    EXPECT_TRUE(reader.fileExists(dir.path()));
    EXPECT_TRUE(reader.fileExists("Tolvane.ini"));
    EXPECT_EQ(log->returnCode(), 1);
    EXPECT_FALSE(reader.fileExists(""));
    EXPECT_EQ(log->returnCode(), -3);
    EXPECT_FALSE(reader.fileExists("/no/such path"));

    shutDown();
    const std::string tag = "ERROR [C_TolvaneManager::isFileExists]: C_TolvaneManager::isFileExists";
    EXPECT_THAT(readLines(dir / "test.log"),
                ElementsAre(tag + " :: ReturnCode = -3 : File  doesn't exist",
                            tag + " :: ReturnCode = -3 : File /no/such path doesn't exist"));
}

} // namespace
