// Opening and listing folders below a configured folder: kinds come from the
// listing, every name is opened from its open folder, and no link is
// followed, even one swapped in after the walk saw a folder there.
#include "walk/OpenAhead.h"
#include "walk/OpenFolder.h"
#include "posixacl/BatchRing.h"
#include "winsec/SecurityApi.h"
#include "NamedEntry.h"
#include "TestSupport.h"

#include <Poco/Exception.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <unistd.h>

using namespace testsupport;
using namespace walk;

namespace {

struct FixedPath final : winsec::PathSpeller {
    explicit FixedPath(std::string spelt) : spelt(std::move(spelt)) {}
    std::string path() const override { return spelt; }
    std::string spelt;
};

std::map<std::string, FileKind> listAll(OpenFolder& folder)
{
    std::vector<ListedEntry> entries;
    int error = 0;
    while (folder.read(&entries, 1, &error)) {
    }
    EXPECT_EQ(error, 0);
    std::map<std::string, FileKind> kinds;
    for (const ListedEntry& entry : entries)
        kinds[entry.name] = entry.kind;
    return kinds;
}

class OpenFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeDirectories(dir / "tree/sub/deeper");
        makeDirectories(dir / "outside/secret");
        writeFile(dir / "tree/file", "");
        run("mkfifo " + shellQuote(dir / "tree/fifo"));
        ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/link").c_str()), 0);
        tree = OpenFolder::openConfigured(dir / "tree").folder;
        ASSERT_NE(tree, nullptr);
    }

    FolderOpening child(const std::string& name)
    {
        return tree->openChild(ListedEntry{name, FileKind::Folder, nullptr});
    }

    TempDir dir;
    std::unique_ptr<OpenFolder> tree;
};

TEST_F(OpenFolderTest, KindsComeFromTheListingWithoutFollowingLinks)
{
    const std::map<std::string, FileKind> expected = {
        {"sub", FileKind::Folder},
        {"file", FileKind::File},
        {"fifo", FileKind::Other},
        {"link", FileKind::Link},
    };
    EXPECT_EQ(listAll(*tree), expected);
    FolderOpening sub = child("sub");
    ASSERT_EQ(sub.kind, FileKind::Folder);
    EXPECT_EQ(listAll(*sub.folder).size(), 1u);
}

TEST_F(OpenFolderTest, OnlyAFolderThatIsNoLinkIsOpened)
{
    EXPECT_EQ(child("link").kind, FileKind::Link);
    EXPECT_EQ(child("link").folder, nullptr);
    EXPECT_EQ(child("gone").kind, FileKind::Missing);
    EXPECT_EQ(child("file").kind, FileKind::File);
    EXPECT_EQ(child("../outside").kind, FileKind::Missing);

    // A folder swapped for a link after the walk has seen it.
    ASSERT_EQ(rename((dir / "tree/sub").c_str(), (dir / "moved").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/sub").c_str()), 0);
    EXPECT_EQ(child("sub").kind, FileKind::Link);
    EXPECT_EQ(child("sub").folder, nullptr);
}

winsec::DWORD readError(const winsec::ObjectName& object)
{
    winsec::PSECURITY_DESCRIPTOR read = nullptr;
    const winsec::DWORD error = systemApi().getNamedSecurityInfo(
        object, winsec::SE_FILE_OBJECT, 7, nullptr, nullptr, nullptr, nullptr, &read);
    systemApi().localFree(read);
    return error;
}

TEST_F(OpenFolderTest, SecurityIsReachedByNameInTheOpenFolderNeverThroughALink)
{
    const FixedPath spelt("logged");
    EXPECT_EQ(readError(winsec::ObjectName(&tree->handle(), "link", spelt)), winsec::DWORD(ELOOP));
    EXPECT_EQ(readError(winsec::ObjectName(&tree->handle(), "file", spelt).listedAsRegularFile()),
              0u);
    EXPECT_EQ(readError(winsec::ObjectName(&tree->handle(), "fifo", spelt)), 0u);
    EXPECT_EQ(readError(winsec::ObjectName(&tree->handle(), "", spelt)), 0u);
}

// A window opened ahead holds only what the listing called a regular file
// and is still something that may be opened; its visits then reach each
// entry as they would have without it, and nothing stays open after.
TEST_F(OpenFolderTest, AWindowOpenedAheadChangesNoVisitAndIsClosedAfter)
{
    const std::unique_ptr<OpenAhead> ahead = OpenAhead::forThread(1);
    if (ahead == nullptr)
        GTEST_SKIP() << openAheadProblem();
    std::vector<ListedEntry> window;
    for (const char* name : {"file", "gone", "link", "fifo"})
        window.push_back(ListedEntry{name, FileKind::File, nullptr});
    ahead->open(*tree, window.data(), window.data() + window.size());
    std::vector<int> descriptors;
    for (const ListedEntry& entry : window)
        descriptors.push_back(entry.opened->descriptor);
    EXPECT_GE(descriptors[0], 0);
    EXPECT_EQ(descriptors[1], -1);
    EXPECT_EQ(descriptors[2], -1) << "a link is never opened";
    const FixedPath spelt("logged");
    const winsec::DWORD expected[] = {0, ENOENT, ELOOP, 0};
    for (std::size_t k = 0; k < window.size(); ++k)
        EXPECT_EQ(readError(winsec::ObjectName(&tree->handle(), window[k].name, spelt)
                                .listedAsRegularFile()
                                .openedAs(window[k].opened.get())),
                  expected[k])
            << window[k].name;
    ahead->release(window.data(), window.data() + window.size());
    for (const int descriptor : descriptors)
        EXPECT_TRUE(descriptor < 0 || (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF));
}

TEST(OpenFolderConfigured, ReachedThroughRootsLinkIsListedAndAMissingOneIsMissing)
{
    TempDir dir;
    makeDirectories(dir / "real/inner");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "configured").c_str()), 0);
    FolderOpening configured = OpenFolder::openConfigured(dir / "configured");
    ASSERT_EQ(configured.kind, FileKind::Folder);
    EXPECT_EQ(listAll(*configured.folder),
              (std::map<std::string, FileKind>{{"inner", FileKind::Folder}}));
    EXPECT_EQ(OpenFolder::openConfigured(dir / "gone").kind, FileKind::Missing);
    EXPECT_EQ(OpenFolder::openConfigured("").kind, FileKind::Missing);
}

} // namespace
