#include "walk/FolderWalk.h"

#include "walk/OpenAhead.h"
#include "walk/OpenFolder.h"
#include "walk/ResultOrder.h"

#include <Poco/Path.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace walk {

namespace {

// Entries of one folder handed out as one piece of work: large enough that
// handing out costs nothing next to the work, small enough that a folder of
// many files keeps every thread busy.
constexpr std::size_t kChunkEntries = 512;
// Pieces waiting per thread beyond which a folder's lister does its next
// piece itself: bounds the names held in memory, whatever the folder's size.
constexpr std::size_t kWaitingPerThread = 8;

const std::string kSelf;

// A folder met by the walk. It keeps its listed entry and its parent, not
// its path.
struct Folder final : winsec::PathSpeller {
    Folder(std::shared_ptr<Folder> parent, ListedEntry entry,
           std::shared_ptr<FolderResults> results)
        : parent(std::move(parent)), entry(std::move(entry)), results(std::move(results))
    {
    }
    // Null for the configured folder, whose entry name is its path as given.
    std::shared_ptr<Folder> parent;
    ListedEntry entry;
    std::shared_ptr<FolderResults> results;
    // What the visit of this folder noted for its entries; set before any
    // of them is visited.
    std::shared_ptr<const FolderNote> note;
    std::atomic<bool> failed{false};

    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    std::string path() const override;
    // The path every entry's path begins with.
    std::string prefix() const;
};

// The folders above are let go of one at a time: released one inside the
// other, a deep chain would exhaust the stack. Only a folder this one holds
// alone is taken apart here; one someone else still holds is left to them.
Folder::~Folder()
{
    std::shared_ptr<Folder> above = std::move(parent);
    while (above != nullptr && above.use_count() == 1) {
        std::shared_ptr<Folder> next = std::move(above->parent);
        above = std::move(next);
    }
}

std::string Folder::path() const
{
    return parent == nullptr ? entry.name : parent->prefix() + entry.name;
}

// Spelt from the top down without recursion: no depth may exhaust the stack.
std::string Folder::prefix() const
{
    std::vector<const Folder*> chain;
    for (const Folder* level = this; level != nullptr; level = level->parent.get())
        chain.push_back(level);
    std::string spelt = Poco::Path(chain.back()->entry.name).makeDirectory().toString();
    for (auto level = chain.rbegin() + 1; level != chain.rend(); ++level)
        spelt.append((*level)->entry.name).push_back(Poco::Path::separator());
    return spelt;
}

struct EntrySpeller final : winsec::PathSpeller {
    EntrySpeller(const Folder& folder, const std::string& name) : folder(folder), name(name) {}
    std::string path() const override { return folder.prefix() + name; }
    const Folder& folder;
    const std::string& name;
};

// One piece of work: open and list `folder` from `open` (its parent; null
// for the configured folder), or, with `piece`, visit `entries` of `folder`,
// which `open` holds.
struct Task {
    std::shared_ptr<Folder> folder;
    std::shared_ptr<OpenFolder> open;
    std::vector<ListedEntry> entries;
    PieceResults* piece = nullptr;
};

// One run of the walk: the pool, the work waiting, and the reports in order.
// Everything shared is guarded by `mutex`.
class WalkRun {
public:
    WalkRun(WalkVisitor& visitor, const WalkOptions& options)
        : visitor(visitor), threads(options.threads), opensAhead(options.openAhead)
    {
    }
    bool run(const std::string& configuredFolder);

private:
    void drive();
    void deliver(std::vector<std::unique_ptr<VisitReport>>* ready);
    void release(std::vector<std::thread>* pool);
    void work();
    std::unique_ptr<OpenAhead> openAheadFor() const;
    bool takeTask(Task* task);
    void perform(Task& task, OpenAhead* ahead);
    void openAndList(const std::shared_ptr<Folder>& folder, const OpenFolder* parent,
                     OpenAhead* ahead);
    std::shared_ptr<OpenFolder> openSelf(Folder& folder, const OpenFolder* parent);
    std::shared_ptr<OpenFolder> visitSelf(Folder& folder, const OpenFolder* parent,
                                          FolderOpening opening);
    void listInPieces(const std::shared_ptr<Folder>& folder,
                      const std::shared_ptr<OpenFolder>& open, OpenAhead* ahead);
    void visitPiece(Task& task, OpenAhead* ahead);
    ListedEntry* visitWindow(Task& task, ListedEntry* first, std::size_t count, OpenAhead* ahead);
    void handOut(const std::shared_ptr<Folder>& folder, const std::shared_ptr<OpenFolder>& open);
    void visitEntry(const std::shared_ptr<Folder>& folder, const std::shared_ptr<OpenFolder>& open,
                    ListedEntry& entry, PieceResults& piece);
    Visit report(Folder& folder, PieceResults& piece, const WalkEntry& entry);
    void reportBroken(Folder& folder, PieceResults& piece);
    void finish(PieceResults& piece);

    WalkVisitor& visitor;
    const unsigned threads;
    const bool opensAhead;
    std::mutex mutex;
    std::condition_variable workWaiting;
    std::condition_variable progress;
    std::vector<Task> waiting; // taken from the back: deepest first
    ResultOrder order;
    bool ending = false; // no more work will come: helpers end once none waits
};

bool WalkRun::run(const std::string& configuredFolder)
{
    auto root = std::make_shared<Folder>(nullptr, ListedEntry{configuredFolder, FileKind::Folder, nullptr},
                                         order.root());
    waiting.push_back(Task{root, nullptr, {}, nullptr});
    std::vector<std::thread> pool;
    try {
        for (unsigned helper = 1; helper < threads; ++helper)
            pool.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
        // The threads there are do the work; one, this one, is enough.
    }
    try {
        drive();
    } catch (...) {
        release(&pool);
        throw;
    }
    release(&pool);
    return !root->failed;
}

// This thread works too, and hands the reports whose turn has come to the
// visitor between its pieces of work.
void WalkRun::drive()
{
    const std::unique_ptr<OpenAhead> ahead = openAheadFor();
    std::vector<std::unique_ptr<VisitReport>> ready;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        const bool all = order.takeReady(&ready);
        if (!ready.empty()) {
            lock.unlock();
            deliver(&ready);
            lock.lock();
            continue;
        }
        if (all)
            return;
        Task task;
        if (takeTask(&task)) {
            lock.unlock();
            perform(task, ahead.get());
            task = Task();
            lock.lock();
        } else {
            progress.wait(lock);
        }
    }
}

void WalkRun::deliver(std::vector<std::unique_ptr<VisitReport>>* ready)
{
    for (std::unique_ptr<VisitReport>& report : *ready)
        visitor.deliver(std::move(report));
    ready->clear();
}

// The helpers finish what is waiting, if anything, and end.
void WalkRun::release(std::vector<std::thread>* pool)
{
    {
        const std::lock_guard<std::mutex> guard(mutex);
        ending = true;
    }
    workWaiting.notify_all();
    for (std::thread& helper : *pool)
        helper.join();
}

// Called with `mutex` held.
bool WalkRun::takeTask(Task* task)
{
    if (waiting.empty())
        return false;
    *task = std::move(waiting.back());
    waiting.pop_back();
    return true;
}

std::unique_ptr<OpenAhead> WalkRun::openAheadFor() const
{
    return opensAhead ? OpenAhead::forThread(threads) : nullptr;
}

void WalkRun::work()
{
    const std::unique_ptr<OpenAhead> ahead = openAheadFor();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        Task task;
        workWaiting.wait(lock, [&] { return ending || !waiting.empty(); });
        if (!takeTask(&task))
            return;
        lock.unlock();
        perform(task, ahead.get());
        task = Task();
        lock.lock();
    }
}

void WalkRun::finish(PieceResults& piece)
{
    {
        const std::lock_guard<std::mutex> guard(mutex);
        piece.finish();
    }
    progress.notify_one();
}

void WalkRun::perform(Task& task, OpenAhead* ahead)
{
    if (task.piece != nullptr)
        visitPiece(task, ahead);
    else
        openAndList(task.folder, task.open.get(), ahead);
}

Visit WalkRun::report(Folder& folder, PieceResults& piece, const WalkEntry& entry)
{
    Visit visit = visitor.visit(entry);
    if (!visit.changed)
        folder.failed = true;
    piece.add(std::move(visit.report));
    return visit;
}

// Called inside a catch handler.
void WalkRun::reportBroken(Folder& folder, PieceResults& piece)
{
    folder.failed = true;
    piece.add(visitor
                  .visit(WalkEntry(WalkFailure::Broken, folder, 0, std::current_exception()))
                  .report);
}

// The folder itself is changed before anything in it, even when it cannot be
// listed; one that is gone is reported and changes nothing.
void WalkRun::openAndList(const std::shared_ptr<Folder>& folder, const OpenFolder* parent,
                          OpenAhead* ahead)
{
    FolderResults& results = *folder->results;
    std::shared_ptr<OpenFolder> open;
    try {
        open = openSelf(*folder, parent);
    } catch (...) {
        reportBroken(*folder, results.tail());
    }
    finish(results.head());
    if (open != nullptr)
        listInPieces(folder, open, ahead);
    finish(results.tail());
}

// Opens `folder` and visits it; the open folder when it is to be listed.
std::shared_ptr<OpenFolder> WalkRun::openSelf(Folder& folder, const OpenFolder* parent)
{
    FolderOpening opening = parent == nullptr ? OpenFolder::openConfigured(folder.entry.name)
                                              : parent->openChild(folder.entry);
    if (opening.kind == FileKind::Missing) {
        folder.failed = true;
        report(folder, folder.results->head(),
               WalkEntry(WalkFailure::Missing, folder, opening.listError));
        return nullptr;
    }
    if (opening.kind == FileKind::Mount) {
        folder.results->head().add(
            visitor.visit(WalkEntry(WalkFailure::OtherFileSystem, folder)).report);
        return nullptr;
    }
    return visitSelf(folder, parent, std::move(opening));
}

// A folder that could not be opened is changed, where it can be, as an
// entry of its parent.
std::shared_ptr<OpenFolder> WalkRun::visitSelf(Folder& folder, const OpenFolder* parent,
                                               FolderOpening opening)
{
    const bool self = opening.folder != nullptr;
    const winsec::FolderHandle* in =
        self ? &opening.folder->handle() : parent != nullptr ? &parent->handle() : nullptr;
    winsec::ObjectName name(in, self ? kSelf : folder.entry.name, folder);
    if (!self)
        name.openedAs(folder.entry.opened.get());
    if (opening.kind == FileKind::File)
        name.listedAsRegularFile();
    if (opening.refusal != 0)
        name.refusedWith(opening.refusal);
    WalkEntry entry(name, folder);
    entry.configuredFolder = parent == nullptr;
    entry.folderNote = folder.parent != nullptr ? folder.parent->note.get() : nullptr;
    folder.note = report(folder, folder.results->head(), entry).note;
    if (opening.kind != FileKind::Folder)
        return nullptr;
    if (!self) {
        folder.failed = true;
        report(folder, folder.results->tail(),
               WalkEntry(WalkFailure::Unlistable, folder, opening.listError));
        return nullptr;
    }
    return std::shared_ptr<OpenFolder>(std::move(opening.folder));
}

// Read by this thread, a chunk at a time; each is handed to the pool while
// few are waiting, else visited here, and the last one always here.
void WalkRun::listInPieces(const std::shared_ptr<Folder>& folder,
                           const std::shared_ptr<OpenFolder>& open, OpenAhead* ahead)
{
    bool more = true;
    while (more) {
        Task task{folder, open, {}, nullptr};
        int error = 0;
        try {
            more = open->read(&task.entries, kChunkEntries, &error);
        } catch (...) {
            more = false;
            reportBroken(*folder, folder->results->tail());
        }
        if (error != 0) {
            folder->failed = true;
            report(*folder, folder->results->tail(),
                   WalkEntry(WalkFailure::Unlistable, *folder, error));
        }
        if (task.entries.empty())
            continue;
        bool handedOut = false;
        {
            const std::lock_guard<std::mutex> guard(mutex);
            task.piece = &folder->results->addPiece();
            handedOut = more && waiting.size() < kWaitingPerThread * threads;
            if (handedOut)
                waiting.push_back(std::move(task));
        }
        if (handedOut) {
            workWaiting.notify_one();
            progress.notify_one(); // this thread may take it between its reports
        } else {
            visitPiece(task, ahead);
        }
    }
}

void WalkRun::visitPiece(Task& task, OpenAhead* ahead)
{
    Folder& folder = *task.folder;
    PieceResults& piece = *task.piece;
    ListedEntry* const end = task.entries.data() + task.entries.size();
    const std::size_t window = ahead != nullptr ? ahead->window() : task.entries.size();
    try {
        for (ListedEntry* first = task.entries.data(); first != end;)
            first = visitWindow(task, first, std::min<std::size_t>(window, end - first), ahead);
    } catch (...) {
        reportBroken(folder, piece);
    }
    task.entries = std::vector<ListedEntry>();
    finish(piece);
}

// The entries opened ahead are closed whatever happens to their visits.
ListedEntry* WalkRun::visitWindow(Task& task, ListedEntry* first, std::size_t count,
                                  OpenAhead* ahead)
{
    ListedEntry* const last = first + count;
    struct Release {
        OpenAhead* ahead;
        ListedEntry* first;
        ListedEntry* last;
        ~Release()
        {
            if (ahead != nullptr)
                ahead->release(first, last);
        }
    } release{ahead, first, last};
    if (ahead != nullptr)
        ahead->open(*task.open, first, last);
    for (ListedEntry* entry = first; entry != last; ++entry)
        visitEntry(task.folder, task.open, *entry, *task.piece);
    return last;
}

// A sub-folder is handed to the pool as soon as it is met, so that a chain
// of folders spreads over the threads as a wide tree does.
void WalkRun::handOut(const std::shared_ptr<Folder>& folder,
                      const std::shared_ptr<OpenFolder>& open)
{
    {
        const std::lock_guard<std::mutex> guard(mutex);
        waiting.push_back(Task{folder, open, {}, nullptr});
    }
    workWaiting.notify_one();
    progress.notify_one(); // this thread may take it between its reports
}

void WalkRun::visitEntry(const std::shared_ptr<Folder>& folder,
                         const std::shared_ptr<OpenFolder>& open, ListedEntry& entry,
                         PieceResults& piece)
{
    const EntrySpeller speller(*folder, entry.name);
    switch (entry.kind) {
    case FileKind::Link:
    case FileKind::Mount:
        return;
    case FileKind::Missing:
        // Gone since the listing: reported, but no failure of its folder.
        piece.add(visitor.visit(WalkEntry(WalkFailure::Missing, speller)).report);
        return;
    case FileKind::Folder:
        handOut(std::make_shared<Folder>(folder, std::move(entry), piece.addFolder()), open);
        return;
    case FileKind::File:
    case FileKind::Other:
        break;
    }
    winsec::ObjectName name(&open->handle(), entry.name, speller);
    name.openedAs(entry.opened.get());
    if (entry.kind == FileKind::File)
        name.listedAsRegularFile();
    WalkEntry visited(name, speller);
    visited.folderNote = folder->note.get();
    report(*folder, piece, visited);
}

} // namespace

FolderWalk::FolderWalk(WalkVisitor& visitor, const WalkOptions& options)
    : visitor(visitor), options{std::max(options.threads, 1u), options.openAhead}
{
}

bool FolderWalk::run(const std::string& configuredFolder)
{
    WalkRun walk(visitor, options);
    return walk.run(configuredFolder);
}

} // namespace walk
