#include "posixacl/RecordStore.h"

#include "posixacl/StoreFolder.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace posixacl {

namespace {

constexpr char kDatabaseName[] = "records.sqlite";
constexpr char kSchema[] =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS records("
    " filesystem INTEGER NOT NULL, handle BLOB NOT NULL, record BLOB NOT NULL,"
    " inode INTEGER,"
    " PRIMARY KEY (filesystem, handle)) WITHOUT ROWID;";
// A store made before records named their inode numbers gets the column;
// its older records keep none (NULL).
constexpr char kInodeColumn[] = "ALTER TABLE records ADD COLUMN inode INTEGER";
constexpr char kListing[] = "SELECT filesystem, inode FROM records";
constexpr int kBusyMilliseconds = 10000;
constexpr std::size_t kMaxHandleBytes = 128; // MAX_HANDLE_SZ
// The least room a handle needs for an inode number and its generation.
constexpr unsigned kLeastHandleBytes = 8;

// The database file made for the run's user alone before SQLite opens it;
// SQLite gives its journal files the database's own mode.
int createDatabaseFile(int folder)
{
    const int descriptor = openat(folder, kDatabaseName, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                                  S_IRUSR | S_IWUSR);
    if (descriptor < 0)
        return errno;
    ::close(descriptor);
    return 0;
}

// What keeps a read from finding a record although nothing is wrong: no
// store, an inode it keeps none for (EOPNOTSUPP), a folder it refuses
// (EACCES).
bool holdsNothing(int error)
{
    return error == ENODATA || error == EOPNOTSUPP || error == EACCES;
}

std::string withReason(const std::string& path, int error)
{
    return path + ": " + std::strerror(error);
}

} // namespace

// An inode's name in the store: its file system's id, and the handle's type
// followed by its bytes.
struct RecordStore::Key {
    sqlite3_int64 filesystem = 0;
    unsigned char handle[sizeof(int) + kMaxHandleBytes] = {};
    int handleSize = 0;
};

namespace {

// EOPNOTSUPP for a file system whose inodes cannot be named here for ever.
int filesystemOf(int inode, sqlite3_int64* filesystem)
{
    struct statfs system;
    if (fstatfs(inode, &system) != 0)
        return errno;
    std::uint64_t id = 0;
    static_assert(sizeof system.f_fsid == sizeof id, "fsid is two 32-bit words");
    std::memcpy(&id, &system.f_fsid, sizeof id);
    *filesystem = static_cast<sqlite3_int64>(id);
    return system.f_type == FUSE_SUPER_MAGIC || id == 0 ? EOPNOTSUPP : 0;
}

// The handle half of `key`, whose file system is already known; EOPNOTSUPP
// where there is none, or none with room for a generation.
int handleOf(int inode, RecordStore::Key* key)
{
    alignas(file_handle) unsigned char buffer[sizeof(file_handle) + kMaxHandleBytes];
    auto* handle = reinterpret_cast<file_handle*>(buffer);
    handle->handle_bytes = kMaxHandleBytes;
    int mountId = 0;
    if (name_to_handle_at(inode, "", handle, &mountId, AT_EMPTY_PATH) != 0 ||
        handle->handle_bytes < kLeastHandleBytes)
        return EOPNOTSUPP;
    std::memcpy(key->handle, &handle->handle_type, sizeof(int));
    std::memcpy(key->handle + sizeof(int), handle->f_handle, handle->handle_bytes);
    key->handleSize = static_cast<int>(sizeof(int) + handle->handle_bytes);
    return 0;
}

class Statement {
public:
    Statement(sqlite3* database, const char* sql)
    {
        sqlite3_prepare_v2(database, sql, -1, &statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Binds the key to the first two parameters and resets the last use.
    sqlite3_stmt* with(const RecordStore::Key& key)
    {
        sqlite3_reset(statement);
        sqlite3_bind_int64(statement, 1, key.filesystem);
        sqlite3_bind_blob(statement, 2, key.handle, key.handleSize, SQLITE_STATIC);
        return statement;
    }
    bool isReady() const { return statement != nullptr; }
    sqlite3_stmt* get() const { return statement; }

private:
    sqlite3_stmt* statement = nullptr;
};

} // namespace

class RecordStore::Statements {
public:
    explicit Statements(sqlite3* database)
        : selecting(database, "SELECT record FROM records WHERE filesystem=?1 AND handle=?2"),
          inserting(database, "INSERT OR REPLACE INTO records(filesystem, handle, record, inode) "
                              "VALUES (?1, ?2, ?3, ?4)"),
          deleting(database, "DELETE FROM records WHERE filesystem=?1 AND handle=?2")
    {
    }
    bool areReady() const
    {
        return selecting.isReady() && inserting.isReady() && deleting.isReady();
    }

    Statement selecting;
    Statement inserting;
    Statement deleting;
};

namespace {

// Resets `statement`, so that it holds no lock between calls.
int done(sqlite3_stmt* statement, int status)
{
    sqlite3_reset(statement);
    return status == SQLITE_DONE ? 0 : EIO;
}

} // namespace

// SQLite's own VFS spells a database's full path by following every link in
// it by name, which would turn /proc/self/fd/N back into the path of the
// folder. This one takes the name as given, so that the kernel resolves it,
// for the database and its -wal and -shm files alike, to the folder the
// descriptor holds. Registered for the store's life, before any thread runs.
class RecordStore::FolderVfs {
public:
    explicit FolderVfs(const RecordStore* store)
        : name("tolvane-records-" + std::to_string(reinterpret_cast<std::uintptr_t>(store)))
    {
        const sqlite3_vfs* system = sqlite3_vfs_find(nullptr);
        if (system == nullptr)
            return;
        vfs = *system;
        vfs.zName = name.c_str();
        vfs.xFullPathname = keepName;
        registered = sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }
    ~FolderVfs()
    {
        if (registered)
            sqlite3_vfs_unregister(&vfs);
    }
    FolderVfs(const FolderVfs&) = delete;
    FolderVfs& operator=(const FolderVfs&) = delete;

    // Null when SQLite has none to build on.
    const char* registeredName() const { return registered ? name.c_str() : nullptr; }

private:
    static int keepName(sqlite3_vfs*, const char* given, int size, char* full)
    {
        sqlite3_snprintf(size, full, "%s", given);
        return SQLITE_OK;
    }

    const std::string name;
    sqlite3_vfs vfs{};
    bool registered = false;
};

RecordStore::RecordStore(std::string folder)
    : folder(std::move(folder)), path(this->folder + "/" + kDatabaseName)
{
    if (!this->folder.empty())
        vfs = std::make_unique<FolderVfs>(this);
}

RecordStore::~RecordStore()
{
    close();
}

void RecordStore::close()
{
    statements.reset();
    sqlite3_close(database);
    database = nullptr;
}

void RecordStore::open()
{
    std::lock_guard<std::mutex> hold(mutex);
    openDatabase(false);
}

std::string RecordStore::problem()
{
    std::lock_guard<std::mutex> hold(mutex);
    return openProblem;
}

// The open database and the key of `inode`; called with the mutex held.
// ENODATA without asking for a handle where the store holds nothing of the
// inode's file system and nothing is to be `create`d.
int RecordStore::keyOf(int inode, bool create, Key* key)
{
    int error = filesystemOf(inode, &key->filesystem);
    if (error == 0)
        error = openDatabase(create);
    if (error == 0 && !create && filesystems.count(key->filesystem) == 0)
        return ENODATA;
    return error != 0 ? error : handleOf(inode, key);
}

// 0 once the database is open; ENODATA when it does not exist and `create`
// is false.
int RecordStore::openDatabase(bool create)
{
    if (database != nullptr || openError != 0)
        return openError;
    if (folder.empty())
        return openError = EOPNOTSUPP;
    const int error = openFolder(create);
    knownAbsent.store(error == ENODATA, std::memory_order_release);
    return error != 0 ? error : openExisting();
}

// The folder checked, held in folderHandle, and the database file in it,
// made when `create`; ENODATA where there is none yet.
int RecordStore::openFolder(bool create)
{
    std::string why;
    const int error = openStoreFolder(folder, create, &folderHandle, &why);
    if (error == ENOENT && !create)
        return ENODATA;
    if (error != 0)
        return refuse(error, why);
    struct stat status;
    if (fstatat(folderHandle.get(), kDatabaseName, &status, AT_SYMLINK_NOFOLLOW) == 0)
        return S_ISREG(status.st_mode) ? 0 : refuse(EACCES, path + " is not a regular file");
    const int lookError = errno;
    if (lookError != ENOENT)
        return refuse(lookError, withReason(path, lookError));
    if (!create)
        return ENODATA;
    const int created = createDatabaseFile(folderHandle.get());
    return created == 0 ? 0 : refuse(created, withReason(path, created));
}

// Through the folder's descriptor: whatever its path leads to by now.
int RecordStore::openExisting()
{
    if (vfs == nullptr || vfs->registeredName() == nullptr)
        return refuse(EIO, path + ": SQLite offers no file system layer");
    const std::string throughFolder =
        "/proc/self/fd/" + std::to_string(folderHandle.get()) + "/" + kDatabaseName;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
    int status = sqlite3_open_v2(throughFolder.c_str(), &database, flags, vfs->registeredName());
    if (status == SQLITE_OK) {
        sqlite3_busy_timeout(database, kBusyMilliseconds);
        status = sqlite3_exec(database, kSchema, nullptr, nullptr, nullptr);
    }
    if (status == SQLITE_OK && !Statement(database, kListing).isReady())
        status = sqlite3_exec(database, kInodeColumn, nullptr, nullptr, nullptr);
    if (status == SQLITE_OK) {
        statements = std::make_unique<Statements>(database);
        if (statements->areReady() && loadFilesystems() == 0)
            return 0;
    }
    const std::string why = path + ": " + sqlite3_errmsg(database);
    close();
    return refuse(EIO, why);
}

// A store refused once stays refused for this run.
int RecordStore::refuse(int error, const std::string& why)
{
    folderHandle.reset();
    openProblem = why;
    return openError = error;
}

int RecordStore::loadFilesystems()
{
    Statement listing(database, kListing);
    if (!listing.isReady())
        return EIO;
    sqlite3_stmt* statement = listing.get();
    int status = SQLITE_ROW;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
        filesystems.insert(sqlite3_column_int64(statement, 0));
        if (sqlite3_column_type(statement, 1) == SQLITE_NULL)
            anyInode = true;
        else
            inodeNumbers.insert(static_cast<std::uint64_t>(sqlite3_column_int64(statement, 1)));
    }
    return status == SQLITE_DONE ? 0 : EIO;
}

// Called with the mutex held. A store that cannot be read is asked anyway:
// what it answers says so.
bool RecordStore::namesInode(std::uint64_t number) const
{
    return database == nullptr || anyInode || inodeNumbers.count(number) != 0;
}

bool RecordStore::mayHold(std::uint64_t number)
{
    if (knownAbsent.load(std::memory_order_acquire))
        return false;
    std::lock_guard<std::mutex> hold(mutex);
    return database != nullptr && namesInode(number);
}

int RecordStore::read(int inode, std::uint64_t number, Bytes* record)
{
    if (knownAbsent.load(std::memory_order_acquire))
        return ENODATA;
    Key key;
    std::lock_guard<std::mutex> hold(mutex);
    if (!namesInode(number))
        return ENODATA;
    const int error = keyOf(inode, false, &key);
    if (error != 0)
        return holdsNothing(error) ? ENODATA : error;
    sqlite3_stmt* statement = statements->selecting.with(key);
    const int status = sqlite3_step(statement);
    if (status == SQLITE_ROW) {
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, 0));
        record->assign(bytes, bytes + sqlite3_column_bytes(statement, 0));
    }
    sqlite3_reset(statement);
    if (status == SQLITE_DONE)
        return ENODATA;
    return status == SQLITE_ROW ? 0 : EIO;
}

int RecordStore::store(int inode, std::uint64_t number, const Bytes& record)
{
    Key key;
    std::lock_guard<std::mutex> hold(mutex);
    const int error = keyOf(inode, true, &key);
    if (error != 0)
        return error;
    sqlite3_stmt* statement = statements->inserting.with(key);
    sqlite3_bind_blob(statement, 3, record.data(), static_cast<int>(record.size()), SQLITE_STATIC);
    sqlite3_bind_int64(statement, 4, static_cast<sqlite3_int64>(number));
    const int stored = done(statement, sqlite3_step(statement));
    if (stored == 0) {
        filesystems.insert(key.filesystem);
        inodeNumbers.insert(number);
    }
    return stored;
}

int RecordStore::remove(int inode)
{
    Key key;
    std::lock_guard<std::mutex> hold(mutex);
    const int error = keyOf(inode, false, &key);
    if (error != 0)
        return error;
    sqlite3_stmt* statement = statements->deleting.with(key);
    return done(statement, sqlite3_step(statement));
}

} // namespace posixacl
