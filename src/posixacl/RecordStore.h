// Records of what -lock took from inodes that cannot keep them in their own
// trusted.tolvane attribute (no room left, no trusted namespace on the file
// system, or a run without CAP_SYS_ADMIN), kept in an SQLite database in a
// folder that only the run's user can write, reached as StoreFolder.h says
// and opened through the descriptor of the folder checked. An inode is
// named by its file system's id and the handle name_to_handle_at gives for
// it, which carries the inode's generation: it outlives reboots and never
// names another file, however the inode number is reused. A file system
// whose names cannot promise that keeps no record here: FUSE (every mount
// shares id 0, and libfuse numbers its nodes anew at each mount, generation
// 0), any other of id 0, and any whose handle is refused or has no room for
// a generation, or a generation of 0. The database is created by the first
// record stored; a run that finds none reads nothing. Safe to call from any
// thread. Results are 0 or an errno value (ENODATA: no record for this
// inode, or none can be kept for it).
#ifndef TOLVANE_POSIXACL_RECORD_STORE_H
#define TOLVANE_POSIXACL_RECORD_STORE_H

#include "posixacl/PosixAcl.h"

#include "posixacl/Descriptor.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

struct sqlite3;

namespace posixacl {

class RecordStore {
public:
    // The store in `folder`; with an empty `folder` nothing can be stored.
    explicit RecordStore(std::string folder);
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // Opens the database when there is one. Called before the threads of a
    // walk start, so that none of them changes anything process-wide.
    void open();
    // Why the store could not be used this run, naming its folder; empty
    // when it could, or was never needed.
    std::string problem();

    // `inode` is any open descriptor of the inode, O_PATH ones included,
    // `number` its inode number.
    // Reading gives ENODATA too where there is no store, or its folder is
    // refused; any other error means that a record may be there unread.
    int read(int inode, std::uint64_t number, Bytes* record);
    int store(int inode, std::uint64_t number, const Bytes& record);
    int remove(int inode);
    // Whether the store may hold a record of the inode numbered `number`,
    // on any file system: false only where it is open and certainly holds
    // none, or there is no store. Costs no system call.
    bool mayHold(std::uint64_t number);

    // An inode's name in the store.
    struct Key;

private:
    class Statements;
    class FolderVfs;

    int keyOf(int inode, bool create, Key* key);
    int openDatabase(bool create);
    int openFolder(bool create);
    int openExisting();
    int loadFilesystems();
    bool namesInode(std::uint64_t number) const;
    int refuse(int error, const std::string& why);
    void close();

    const std::string folder;
    const std::string path; // the database's, for what problem() says
    std::mutex mutex;
    std::unique_ptr<FolderVfs> vfs;
    Descriptor folderHandle; // the folder checked, for the connection's life
    // Set when no database exists: most runs never make one, and then an
    // entry without a record costs the store nothing, not even the mutex.
    // Only this run's own first record makes one, and clears it.
    std::atomic<bool> knownAbsent{false};
    sqlite3* database = nullptr;
    int openError = 0; // a store refused once stays refused for this run
    std::string openProblem;
    std::unique_ptr<Statements> statements;
    // The file systems the store holds records of, and the inode numbers
    // of its records on any of them, loaded once with the database, so that
    // an inode it holds nothing of costs no handle and no query. A record
    // stored without its number makes every inode one it may hold.
    std::set<std::int64_t> filesystems;
    std::set<std::uint64_t> inodeNumbers;
    bool anyInode = false;
};

} // namespace posixacl

#endif
