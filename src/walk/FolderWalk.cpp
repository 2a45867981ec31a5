#include "walk/FolderWalk.h"

#include "walk/OpenFolder.h"

#include <Poco/Path.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// Entries of one folder handed out as one piece of work: large enough that
// handing out costs nothing next to the work, small enough that a folder of
// many files keeps every thread busy.
constexpr std::size_t kChunkEntries = 512;
// Pieces waiting per thread beyond which a folder's lister does its next
// piece itself: bounds the names held in memory, whatever the folder's size.
constexpr std::size_t kWaitingPerThread = 8;
constexpr unsigned kMostThreads = 256;

const std::string kSelf;

struct Folder;

// What one entry or run of entries gave: lines, or a sub-folder whose whole
// walk comes at this place.
struct Item {
    HeldLines lines;
    std::shared_ptr<Folder> folder;
};

struct Chunk {
    std::vector<ListedEntry> entries;
    std::vector<Item> items;
    bool done = false;

    // Where the next entry's lines go: after a sub-folder, a new item.
    HeldLines& linesAtEnd()
    {
        if (items.empty() || items.back().folder != nullptr)
            items.emplace_back();
        return items.back().lines;
    }
};

// A folder met by the walk. It keeps its name and its parent, not its path.
struct Folder final : winsec::PathSpeller {
    Folder(std::shared_ptr<Folder> parent, std::string name)
        : parent(std::move(parent)), name(std::move(name))
    {
    }
    // The configured folder: `name` is its path as given.
    std::shared_ptr<Folder> parent;
    std::string name;

    HeldLines head; // its own lines, written before anything in it
    bool headDone = false;
    std::vector<std::unique_ptr<Chunk>> chunks;
    HeldLines tail; // the failure that ended its listing
    bool listed = false;
    std::atomic<bool> failed{false};

    std::string path() const override;
    // The path every entry's path begins with.
    std::string prefix() const;
};

std::string Folder::path() const
{
    return parent == nullptr ? name : parent->prefix() + name;
}

// Spelt from the top down without recursion: no depth may exhaust the stack.
std::string Folder::prefix() const
{
    std::vector<const Folder*> chain;
    for (const Folder* level = this; level != nullptr; level = level->parent.get())
        chain.push_back(level);
    std::string spelt = Poco::Path(chain.back()->name).makeDirectory().toString();
    for (auto level = chain.rbegin() + 1; level != chain.rend(); ++level)
        spelt.append((*level)->name).push_back(Poco::Path::separator());
    return spelt;
}

struct EntrySpeller final : winsec::PathSpeller {
    EntrySpeller(const Folder& folder, const std::string& name) : folder(folder), name(name) {}
    std::string path() const override { return folder.prefix() + name; }
    const Folder& folder;
    const std::string& name;
};

// One piece of work: open and list `folder` from `open` (its parent; null
// for the configured folder), or, with `chunk`, visit those entries of
// `folder`, which `open` holds.
struct Task {
    std::shared_ptr<Folder> folder;
    std::shared_ptr<OpenFolder> open;
    Chunk* chunk = nullptr;
};

// Where the writing of the walk's lines stands in one folder.
struct Cursor {
    std::shared_ptr<Folder> folder;
    bool headWritten = false;
    std::size_t chunk = 0;
    std::size_t item = 0;
};

} // namespace

unsigned walkThreads()
{
    const char* setting = std::getenv("TOLVANE_THREADS");
    if (setting != nullptr) {
        char* end = nullptr;
        const unsigned long wanted = std::strtoul(setting, &end, 10);
        if (end != setting && *end == '\0' && wanted >= 1)
            return static_cast<unsigned>(std::min<unsigned long>(wanted, kMostThreads));
    }
    return std::clamp(std::thread::hardware_concurrency(), 1u, kMostThreads);
}

namespace {

// One run of the walk: the pool, the work waiting, and the writing in order.
// Everything shared is guarded by `mutex`.
class WalkRun {
public:
    WalkRun(EntryVisitor& visitor, unsigned threads) : visitor(visitor), threads(threads) {}
    bool run(const std::string& configuredFolder);

private:
    void drive();
    void release(std::vector<std::thread>* pool);
    void work();
    bool takeTask(std::unique_lock<std::mutex>& lock, Task* task);
    void perform(Task& task);
    void openAndList(const std::shared_ptr<Folder>& folder, const OpenFolder* parent);
    std::shared_ptr<OpenFolder> openSelf(Folder& folder, const OpenFolder* parent);
    void listInChunks(const std::shared_ptr<Folder>& folder, const std::shared_ptr<OpenFolder>& open);
    void visitChunk(const std::shared_ptr<Folder>& folder, const std::shared_ptr<OpenFolder>& open,
                    Chunk& chunk);
    void visitEntry(const std::shared_ptr<Folder>& folder, const OpenFolder& open,
                    const ListedEntry& entry, Chunk& chunk,
                    std::vector<std::shared_ptr<Folder>>* subFolders);
    bool writeReady();
    void finish(bool* flag);

    EntryVisitor& visitor;
    const unsigned threads;
    std::mutex mutex;
    std::condition_variable workWaiting;
    std::condition_variable progress;
    std::vector<Task> waiting; // taken from the back: deepest first
    std::vector<Cursor> cursors;
    bool ending = false; // no more work will come: helpers end once none waits
};

bool WalkRun::run(const std::string& configuredFolder)
{
    auto root = std::make_shared<Folder>(nullptr, configuredFolder);
    waiting.push_back(Task{root, nullptr, nullptr});
    cursors.push_back(Cursor{root});
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

// This thread works too, and writes the lines whose turn has come between
// its pieces of work.
void WalkRun::drive()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!writeReady()) {
        Task task;
        if (takeTask(lock, &task)) {
            lock.unlock();
            perform(task);
            task = Task();
            lock.lock();
        } else {
            progress.wait(lock);
        }
    }
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

bool WalkRun::takeTask(std::unique_lock<std::mutex>&, Task* task)
{
    if (waiting.empty())
        return false;
    *task = std::move(waiting.back());
    waiting.pop_back();
    return true;
}

void WalkRun::work()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        Task task;
        workWaiting.wait(lock, [&] { return ending || !waiting.empty(); });
        if (!takeTask(lock, &task))
            return;
        lock.unlock();
        perform(task);
        task = Task();
        lock.lock();
    }
}

void WalkRun::finish(bool* flag)
{
    {
        const std::lock_guard<std::mutex> guard(mutex);
        *flag = true;
    }
    progress.notify_one();
}

void WalkRun::perform(Task& task)
{
    if (task.chunk != nullptr)
        visitChunk(task.folder, task.open, *task.chunk);
    else
        openAndList(task.folder, task.open.get());
}

// The folder itself is changed before anything in it, even when it cannot be
// listed; one that is gone is reported and changes nothing.
void WalkRun::openAndList(const std::shared_ptr<Folder>& folder, const OpenFolder* parent)
{
    std::shared_ptr<OpenFolder> open;
    try {
        open = openSelf(*folder, parent);
    } catch (...) {
        folder->failed = true;
        visitor.walkFailed(folder->tail);
    }
    finish(&folder->headDone);
    if (open != nullptr)
        listInChunks(folder, open);
    finish(&folder->listed);
}

// Opens `folder` and visits it; the open folder when it is to be listed.
std::shared_ptr<OpenFolder> WalkRun::openSelf(Folder& folder, const OpenFolder* parent)
{
    FolderOpening opening = parent == nullptr ? OpenFolder::openConfigured(folder.name)
                                              : parent->openChild(folder.name, folder);
    if (opening.kind == FileKind::Missing) {
        folder.failed = true;
        visitor.missing(folder.path(), folder.head);
        return nullptr;
    }
    const bool self = opening.folder != nullptr;
    const int in = self ? opening.folder->handle()
                        : parent != nullptr ? parent->handle() : winsec::ObjectName::kNoFolder;
    winsec::ObjectName name(in, self ? kSelf : folder.name, folder);
    if (opening.kind == FileKind::File)
        name.listedAsRegularFile();
    if (opening.refusal != 0)
        name.refusedWith(opening.refusal);
    if (!visitor.visit(name, folder.head))
        folder.failed = true;
    if (opening.kind != FileKind::Folder)
        return nullptr;
    if (!self)
        OpenFolder::throwListingError(folder.path(), opening.listError);
    return std::shared_ptr<OpenFolder>(std::move(opening.folder));
}

// Read by this thread, a chunk at a time; each is handed to the pool while
// few are waiting, else visited here, and the last one always here.
void WalkRun::listInChunks(const std::shared_ptr<Folder>& folder,
                           const std::shared_ptr<OpenFolder>& open)
{
    bool more = true;
    while (more) {
        auto chunk = std::make_unique<Chunk>();
        try {
            more = open->read(&chunk->entries, kChunkEntries, *folder);
        } catch (...) {
            more = false;
            folder->failed = true;
            visitor.walkFailed(folder->tail);
        }
        if (chunk->entries.empty())
            continue;
        Chunk* const piece = chunk.get();
        bool handedOut = false;
        {
            const std::lock_guard<std::mutex> guard(mutex);
            folder->chunks.push_back(std::move(chunk));
            handedOut = more && waiting.size() < kWaitingPerThread * threads;
            if (handedOut)
                waiting.push_back(Task{folder, open, piece});
        }
        if (handedOut) {
            workWaiting.notify_one();
            progress.notify_one(); // this thread may take it between its lines
        } else {
            visitChunk(folder, open, *piece);
        }
    }
}

// Sub-folders are handed to the pool once the chunk is done, the first on
// top, so that the walk goes on where its lines are written next.
void WalkRun::visitChunk(const std::shared_ptr<Folder>& folder,
                         const std::shared_ptr<OpenFolder>& open, Chunk& chunk)
{
    std::vector<std::shared_ptr<Folder>> subFolders;
    try {
        for (const ListedEntry& entry : chunk.entries)
            visitEntry(folder, *open, entry, chunk, &subFolders);
    } catch (...) {
        folder->failed = true;
        visitor.walkFailed(chunk.linesAtEnd());
    }
    chunk.entries = std::vector<ListedEntry>();
    {
        const std::lock_guard<std::mutex> guard(mutex);
        chunk.done = true;
        for (auto sub = subFolders.rbegin(); sub != subFolders.rend(); ++sub)
            waiting.push_back(Task{*sub, open, nullptr});
    }
    if (!subFolders.empty())
        workWaiting.notify_all();
    progress.notify_one();
}

void WalkRun::visitEntry(const std::shared_ptr<Folder>& folder, const OpenFolder& open,
                         const ListedEntry& entry, Chunk& chunk,
                         std::vector<std::shared_ptr<Folder>>* subFolders)
{
    const EntrySpeller speller(*folder, entry.name);
    switch (entry.kind) {
    case FileKind::Link:
        return;
    case FileKind::Missing:
        visitor.missing(speller.path(), chunk.linesAtEnd());
        return;
    case FileKind::Folder:
        subFolders->push_back(std::make_shared<Folder>(folder, entry.name));
        chunk.items.push_back(Item{HeldLines(), subFolders->back()});
        return;
    case FileKind::File:
    case FileKind::Other:
        break;
    }
    winsec::ObjectName name(open.handle(), entry.name, speller);
    if (entry.kind == FileKind::File)
        name.listedAsRegularFile();
    if (!visitor.visit(name, chunk.linesAtEnd()))
        folder->failed = true;
}

// Writes every line whose turn has come; true once the whole walk is written.
// Runs with `mutex` held.
bool WalkRun::writeReady()
{
    while (!cursors.empty()) {
        Cursor& at = cursors.back();
        Folder& folder = *at.folder;
        if (!at.headWritten) {
            if (!folder.headDone)
                return false;
            visitor.write(folder.head);
            folder.head.clear();
            at.headWritten = true;
        }
        if (at.chunk == folder.chunks.size()) {
            if (!folder.listed)
                return false;
            visitor.write(folder.tail);
            cursors.pop_back();
            continue;
        }
        Chunk& chunk = *folder.chunks[at.chunk];
        if (!chunk.done)
            return false;
        if (at.item == chunk.items.size()) {
            folder.chunks[at.chunk++].reset();
            at.item = 0;
            continue;
        }
        Item& item = chunk.items[at.item++];
        visitor.write(item.lines);
        if (item.folder != nullptr)
            cursors.push_back(Cursor{std::move(item.folder)});
    }
    return true;
}

} // namespace

FolderWalk::FolderWalk(EntryVisitor& visitor, unsigned threads)
    : visitor(visitor), threads(std::max(threads, 1u))
{
}

bool FolderWalk::run(const std::string& configuredFolder)
{
    WalkRun walk(visitor, threads);
    return walk.run(configuredFolder);
}
