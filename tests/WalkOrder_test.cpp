// The order the walk's reports come back in: filled in any order, on any
// thread, they are taken exactly in the order of a one-thread walk, and the
// walk hands every entry, failures included, to its visitor.
#include "TestSupport.h"
#include "walk/FolderWalk.h"
#include "walk/ResultOrder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <set>

using namespace walk;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

struct Named final : VisitReport {
    explicit Named(std::string name) : name(std::move(name)) {}
    std::string name;
};

std::unique_ptr<VisitReport> named(const std::string& name)
{
    return std::make_unique<Named>(name);
}

std::vector<std::string> take(ResultOrder& order, bool* all)
{
    std::vector<std::unique_ptr<VisitReport>> ready;
    *all = order.takeReady(&ready);
    std::vector<std::string> names;
    for (const auto& report : ready)
        names.push_back(static_cast<const Named&>(*report).name);
    return names;
}

TEST(ResultOrder, ReportsWaitForEverythingBeforeThemAndNeverForWhatComesAfter)
{
    ResultOrder order;
    FolderResults& root = *order.root();
    PieceResults& first = root.addPiece();
    PieceResults& second = root.addPiece();
    first.add(named("a"));
    std::shared_ptr<FolderResults> sub = first.addFolder();
    first.add(named("c"));
    second.add(named("d"));
    second.finish();
    sub->head().add(named("b"));
    bool all = true;
    EXPECT_TRUE(take(order, &all).empty()) << "the root's own head is not in yet";
    root.head().add(named("root"));
    root.head().finish();
    first.finish();
    EXPECT_THAT(take(order, &all), ElementsAre("root", "a"));
    sub->head().finish();
    sub->tail().finish();
    EXPECT_THAT(take(order, &all), ElementsAre("b", "c", "d"));
    EXPECT_FALSE(all);
    root.tail().add(named("listing failed"));
    root.tail().finish();
    EXPECT_THAT(take(order, &all), ElementsAre("listing failed"));
    EXPECT_TRUE(all);
}

// Names every entry it is given, in a report; refuses the ones in `refused`.
class NamingVisitor final : public WalkVisitor {
public:
    Visit visit(const WalkEntry& entry) override
    {
        std::string name = entry.path.path();
        if (entry.failure == WalkFailure::Missing)
            name += " missing";
        if (entry.failure == WalkFailure::None && onVisit)
            onVisit(name);
        const bool changed = refused.count(name) == 0 && entry.failure == WalkFailure::None;
        return Visit{changed, named(name), nullptr};
    }
    void deliver(std::unique_ptr<VisitReport> report) override
    {
        delivered.push_back(static_cast<const Named&>(*report).name);
    }

    std::set<std::string> refused;
    std::function<void(const std::string&)> onVisit;
    std::vector<std::string> delivered;
};

TEST(FolderWalk, ManyThreadsReportInTheOrderOfOneAndAFailureStopsNothing)
{
    // Folders to spread over the threads, and one large enough to be
    // listed in several pieces.
    testsupport::TempDir dir;
    for (int folder = 0; folder < 12; ++folder) {
        const std::string name = std::to_string(folder);
        testsupport::writeFile(dir / ("f" + name), "");
        testsupport::makeDirectories(dir / ("d" + name + "/e"));
        testsupport::writeFile(dir / ("d" + name + "/e/file"), "");
    }
    testsupport::run("cd " + testsupport::shellQuote(dir / "d0") + " && touch $(seq 1300)");
    NamingVisitor one;
    EXPECT_TRUE(FolderWalk(one, 1).run(dir.path()));
    NamingVisitor many;
    many.refused = {dir / "d3/e", dir / "f5"};
    EXPECT_FALSE(FolderWalk(many, 4).run(dir.path())) << "f5 lies directly in the folder";
    EXPECT_THAT(many.delivered, ElementsAreArray(one.delivered));
    NamingVisitor deeper;
    deeper.refused = {dir / "d3/e"};
    EXPECT_TRUE(FolderWalk(deeper, 4).run(dir.path())) << "a sub-folder's failure is its own";
}

TEST(FolderWalk, AFolderGoneBeforeItIsOpenedIsReportedMissing)
{
    testsupport::TempDir dir;
    testsupport::makeDirectories(dir / "top/a");
    testsupport::makeDirectories(dir / "top/b");
    NamingVisitor visitor;
    // Whichever sub-folder is opened first takes the other away.
    visitor.onVisit = [&](const std::string& name) {
        if (name == dir / "top/a")
            std::remove((dir / "top/b").c_str());
        if (name == dir / "top/b")
            std::remove((dir / "top/a").c_str());
    };
    EXPECT_TRUE(FolderWalk(visitor, 1).run(dir / "top"));
    ASSERT_EQ(visitor.delivered.size(), 3u);
    EXPECT_EQ(1, std::count_if(visitor.delivered.begin(), visitor.delivered.end(),
                               [](const std::string& name) {
                                   return name.size() > 8 && name.substr(name.size() - 8) == " missing";
                               }));
    NamingVisitor gone;
    EXPECT_FALSE(FolderWalk(gone, 2).run(dir / "nowhere"));
    EXPECT_THAT(gone.delivered, ElementsAre(dir / "nowhere missing"));
}

} // namespace
