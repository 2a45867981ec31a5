#include "posixacl/RecordStore.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace posixacl::recordstore {

namespace {

constexpr char kDatabaseName[] = "/records.sqlite";
constexpr char kSchema[] =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS records("
    " filesystem INTEGER NOT NULL, handle BLOB NOT NULL, record BLOB NOT NULL,"
    " PRIMARY KEY (filesystem, handle)) WITHOUT ROWID;";
constexpr int kBusyMilliseconds = 10000;
constexpr std::size_t kMaxHandleBytes = 128; // MAX_HANDLE_SZ

// Where the database lives, before any of it is checked.
std::string stateDirectory()
{
    if (const char* systemd = std::getenv("STATE_DIRECTORY"); systemd != nullptr && *systemd) {
        const std::string list = systemd;
        return list.substr(0, list.find(':'));
    }
    if (geteuid() == 0)
        return "/var/lib/tolvane";
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/')
        return std::string(xdg) + "/tolvane";
    const char* home = std::getenv("HOME");
    return home != nullptr && *home == '/' ? std::string(home) + "/.local/state/tolvane" : "";
}

// The one rule the store stands on: its folder is a real folder of the
// run's user that nobody else may write, so nobody else can plant, swap or
// edit records that unlock would follow.
bool isOwnFolder(const std::string& folder)
{
    struct stat status;
    return lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Creates missing folders of `folder` for the run's user only.
void createFolder(const std::string& folder)
{
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1))
        mkdir(folder.substr(0, slash).c_str(), 0700);
    mkdir(folder.c_str(), 0700);
}

// An inode's name in the store: its file system's id, and the handle's type
// followed by its bytes.
struct Key {
    sqlite3_int64 filesystem = 0;
    unsigned char handle[sizeof(int) + kMaxHandleBytes] = {};
    int handleSize = 0;
};

int filesystemOf(int inode, sqlite3_int64* filesystem)
{
    struct statfs system;
    if (fstatfs(inode, &system) != 0)
        return errno;
    std::uint64_t id = 0;
    static_assert(sizeof system.f_fsid == sizeof id, "fsid is two 32-bit words");
    std::memcpy(&id, &system.f_fsid, sizeof id);
    *filesystem = static_cast<sqlite3_int64>(id);
    return 0;
}

// The handle half of `key`, whose file system is already known.
int handleOf(int inode, Key* key)
{
    alignas(file_handle) unsigned char buffer[sizeof(file_handle) + kMaxHandleBytes];
    auto* handle = reinterpret_cast<file_handle*>(buffer);
    handle->handle_bytes = kMaxHandleBytes;
    int mountId = 0;
    if (name_to_handle_at(inode, "", handle, &mountId, AT_EMPTY_PATH) != 0)
        return errno;
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
    sqlite3_stmt* with(const Key& key)
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

class Store {
public:
    ~Store();
    int read(int inode, Bytes* record);
    int store(int inode, const Bytes& record);
    int remove(int inode);

private:
    // The open database and the key of `inode`; called with the mutex held.
    // ENODATA without asking for a handle where the store holds nothing of
    // the inode's file system and nothing is to be `create`d.
    int opened(int inode, bool create, Key* key)
    {
        int error = open(create);
        if (error == 0)
            error = filesystemOf(inode, &key->filesystem);
        if (error == 0 && !create && filesystems.count(key->filesystem) == 0)
            return ENODATA;
        return error != 0 ? error : handleOf(inode, key);
    }
    int loadFilesystems();
    // 0 once the database is open; ENODATA when it does not exist and
    // `create` is false.
    int open(bool create);
    int prepare();
    // Resets `statement`, so that it holds no lock between calls.
    static int done(sqlite3_stmt* statement, int status)
    {
        sqlite3_reset(statement);
        return status == SQLITE_DONE ? 0 : EIO;
    }

    std::mutex mutex;
    // Set when a read found no database: most runs never make one, and then
    // an entry without a record costs the store nothing, not even the mutex.
    // Only this run's own first store makes one, and clears it.
    std::atomic<bool> knownAbsent{false};
    sqlite3* database = nullptr;
    int openError = 0; // sticks: a store refused once stays refused this run
    std::string path;
    std::unique_ptr<Statement> selecting;
    std::unique_ptr<Statement> inserting;
    std::unique_ptr<Statement> deleting;
    // The file systems the store holds records of.
    std::set<sqlite3_int64> filesystems;
};

Store::~Store()
{
    selecting.reset();
    inserting.reset();
    deleting.reset();
    sqlite3_close(database);
}

int Store::open(bool create)
{
    if (database != nullptr || openError != 0)
        return openError;
    if (!create && knownAbsent.load(std::memory_order_acquire))
        return ENODATA;
    const std::string folder = stateDirectory();
    if (folder.empty())
        return openError = EOPNOTSUPP;
    path = folder + kDatabaseName;
    if (!create && access(path.c_str(), F_OK) != 0) {
        knownAbsent.store(true, std::memory_order_release);
        return ENODATA;
    }
    knownAbsent.store(false, std::memory_order_release);
    if (create)
        createFolder(folder);
    if (!isOwnFolder(folder))
        return openError = EACCES;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW |
                      SQLITE_OPEN_FULLMUTEX;
    const mode_t previous = umask(077);
    int status = sqlite3_open_v2(path.c_str(), &database, flags, nullptr);
    if (status == SQLITE_OK) {
        sqlite3_busy_timeout(database, kBusyMilliseconds);
        status = sqlite3_exec(database, kSchema, nullptr, nullptr, nullptr);
    }
    umask(previous);
    if (status == SQLITE_OK && prepare() == 0 && loadFilesystems() == 0)
        return 0;
    selecting.reset();
    inserting.reset();
    deleting.reset();
    sqlite3_close(database);
    database = nullptr;
    return openError = EIO;
}

int Store::prepare()
{
    selecting = std::make_unique<Statement>(
        database, "SELECT record FROM records WHERE filesystem=?1 AND handle=?2");
    inserting = std::make_unique<Statement>(
        database, "INSERT OR REPLACE INTO records(filesystem, handle, record) VALUES (?1, ?2, ?3)");
    deleting = std::make_unique<Statement>(
        database, "DELETE FROM records WHERE filesystem=?1 AND handle=?2");
    return selecting->isReady() && inserting->isReady() && deleting->isReady() ? 0 : EIO;
}

int Store::loadFilesystems()
{
    Statement listing(database, "SELECT DISTINCT filesystem FROM records");
    if (!listing.isReady())
        return EIO;
    sqlite3_stmt* statement = listing.get();
    int status = SQLITE_ROW;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW)
        filesystems.insert(sqlite3_column_int64(statement, 0));
    return status == SQLITE_DONE ? 0 : EIO;
}

int Store::read(int inode, Bytes* record)
{
    if (knownAbsent.load(std::memory_order_acquire))
        return ENODATA;
    Key key;
    std::lock_guard<std::mutex> hold(mutex);
    const int error = opened(inode, false, &key);
    if (error != 0)
        return error == EOPNOTSUPP || error == EACCES ? ENODATA : error;
    sqlite3_stmt* statement = selecting->with(key);
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

int Store::store(int inode, const Bytes& record)
{
    Key key;
    std::lock_guard<std::mutex> hold(mutex);
    const int error = opened(inode, true, &key);
    if (error != 0)
        return error;
    sqlite3_stmt* statement = inserting->with(key);
    sqlite3_bind_blob(statement, 3, record.data(), static_cast<int>(record.size()), SQLITE_STATIC);
    const int stored = done(statement, sqlite3_step(statement));
    if (stored == 0)
        filesystems.insert(key.filesystem);
    return stored;
}

int Store::remove(int inode)
{
    Key key;
    std::lock_guard<std::mutex> hold(mutex);
    const int error = opened(inode, false, &key);
    if (error != 0)
        return error;
    sqlite3_stmt* statement = deleting->with(key);
    return done(statement, sqlite3_step(statement));
}

Store& theStore()
{
    static Store store;
    return store;
}

} // namespace

int read(int inode, Bytes* record)
{
    return theStore().read(inode, record);
}

int store(int inode, const Bytes& record)
{
    return theStore().store(inode, record);
}

int remove(int inode)
{
    return theStore().remove(inode);
}

} // namespace posixacl::recordstore
