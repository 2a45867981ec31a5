// Listing a folder below a configured folder: kinds come from the listing,
// paths are spelt as the directory iterator spells them, and no link is
// followed in any component, even one swapped in after the walk began.
#include "FolderListing.h"
#include "TreeScope.h"
#include "winsec/SecurityApi.h"
#include "winsec/WriteRecord.h"
#include "TestSupport.h"

#include <Poco/Exception.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <optional>
#include <unistd.h>

using namespace testsupport;

namespace {

std::map<std::string, FileKind> listAll(const std::string& folder)
{
    std::map<std::string, FileKind> entries;
    FolderListing listing(folder);
    while (listing.next())
        entries[listing.path()] = listing.kind();
    return entries;
}

class FolderListingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeDirectories(dir / "tree/sub/deeper");
        makeDirectories(dir / "outside/secret");
        writeFile(dir / "tree/file", "");
        run("mkfifo " + shellQuote(dir / "tree/fifo"));
        ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/link").c_str()), 0);
        scope.emplace(dir / "tree", depth);
    }
    void TearDown() override { scope.reset(); }

    TempDir dir;
    int depth = 0;
    std::optional<TreeScope> scope;
};

TEST_F(FolderListingTest, KindsComeFromTheListingWithoutFollowingLinks)
{
    const std::map<std::string, FileKind> expected = {
        {dir / "tree/sub", FileKind::Folder},
        {dir / "tree/file", FileKind::Other},
        {dir / "tree/fifo", FileKind::Other},
        {dir / "tree/link", FileKind::Link},
    };
    EXPECT_EQ(listAll(dir / "tree"), expected);
    EXPECT_EQ(listAll(dir / "tree/sub").size(), 1u);
}

TEST_F(FolderListingTest, NoLinkBelowTheTreeIsFollowedInAnyComponent)
{
    EXPECT_THROW(FolderListing(dir / "tree/link"), Poco::Exception);
    EXPECT_THROW(FolderListing(dir / "tree/link/secret"), Poco::Exception);

    // A folder swapped for a link after the walk has seen it.
    ASSERT_EQ(rename((dir / "tree/sub").c_str(), (dir / "moved").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/sub").c_str()), 0);
    EXPECT_THROW(FolderListing(dir / "tree/sub"), Poco::Exception);
    EXPECT_THROW(FolderListing(dir / "tree/sub/secret"), Poco::Exception);
}

TEST_F(FolderListingTest, FailuresAreThoseOfTheDirectoryIterator)
{
    EXPECT_THROW(FolderListing(dir / "tree/gone"), Poco::FileNotFoundException);
    EXPECT_THROW(FolderListing(dir / "tree/file"), Poco::OpenFileException);
}

winsec::DWORD readError(const std::string& path)
{
    winsec::PSECURITY_DESCRIPTOR read = nullptr;
    const winsec::DWORD error = winsec::systemSecurityApi().getNamedSecurityInfo(
        path, winsec::SE_FILE_OBJECT, 7, nullptr, nullptr, nullptr, nullptr, &read);
    winsec::systemSecurityApi().localFree(read);
    return error;
}

// Whoever can write the tree could link in a file from elsewhere on the same
// file system: it is handled by its own record like any other file. A path
// that does not lie in the tree is never opened.
TEST_F(FolderListingTest, SecurityIsNeverReachedOutsideTheTree)
{
    writeFile(dir / "outside/shared", "");
    ASSERT_EQ(link((dir / "outside/shared").c_str(), (dir / "tree/innocent").c_str()), 0);
    EXPECT_EQ(readError(dir / "tree/innocent"), 0u);
    winsec::SecurityApi& api = winsec::systemSecurityApi();
    std::vector<winsec::BYTE> record;
    EXPECT_EQ(api.readWriteRecord(dir / "tree/innocent", &record), winsec::DWORD(ENODATA));
    ASSERT_EQ(api.storeWriteRecord(dir / "tree/innocent", winsec::encodeWriteRecord({})), 0u);
    EXPECT_EQ(api.readWriteRecord(dir / "tree/innocent", &record), 0u);
    EXPECT_EQ(readError(dir / "outside/secret"), winsec::DWORD(EXDEV));
    EXPECT_EQ(readError(dir / "tree/link/secret"), winsec::DWORD(ELOOP));
    EXPECT_EQ(readError(dir / "tree/file"), 0u);
    EXPECT_EQ(readError(dir / "tree"), 0u);
}

TEST(FolderListingOutsideATree, ConfiguredFolderReachedThroughALinkIsListed)
{
    TempDir dir;
    makeDirectories(dir / "real/inner");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "configured").c_str()), 0);
    int depth = 0;
    const TreeScope scope(dir / "configured", depth);
    EXPECT_EQ(listAll(dir / "configured"),
              (std::map<std::string, FileKind>{{dir / "configured/inner", FileKind::Folder}}));
}

} // namespace
