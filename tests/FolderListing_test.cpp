// Listing a folder below a configured folder: kinds come from the listing,
// paths are spelt as the directory iterator spells them, and no link is
// followed in any component, even one swapped in after the walk began.
#include "FolderListing.h"
#include "SecurityApi.h"
#include "TestSupport.h"

#include <Poco/Exception.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
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
        winsec::systemSecurityApi().beginTree(dir / "tree", dir / "tree/");
    }
    void TearDown() override { winsec::systemSecurityApi().endTree(); }

    TempDir dir;
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

TEST(FolderListingOutsideATree, ConfiguredFolderReachedThroughALinkIsListed)
{
    TempDir dir;
    makeDirectories(dir / "real/inner");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "configured").c_str()), 0);
    winsec::systemSecurityApi().beginTree(dir / "configured", dir / "configured/");
    EXPECT_EQ(listAll(dir / "configured"),
              (std::map<std::string, FileKind>{{dir / "configured/inner", FileKind::Folder}}));
    winsec::systemSecurityApi().endTree();
}

} // namespace
