#include "posixacl/AttributePrefetch.h"

#include "posixacl/AttributeNames.h"
#include "posixacl/TreeResolver.h"

#include <liburing.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <fcntl.h>
#include <iterator>
#include <sys/sysmacros.h>
#include <vector>

namespace posixacl {

namespace {

constexpr std::size_t kRunLength = 64;
constexpr unsigned kRingEntries = 4 * kRunLength;
constexpr std::size_t kFirstValueSize = 256;
// Read for every regular file, whatever else is read after them.
constexpr const char* kFetchedAttributes[] = {kAccessAclName, kWriteRecordName};
constexpr std::size_t kFetchedCount = sizeof kFetchedAttributes / sizeof *kFetchedAttributes;
// Completions of closes carry this tag and are not waited for.
constexpr __u64 kCloseTag = ~__u64(0);

// Results start as "not done", so that a completion that never came
// counts as a failure, never as descriptor 0 or an empty value.
constexpr int kNotDone = -ECANCELED;

struct Pending {
    Pending() { std::fill(std::begin(attributeResults), std::end(attributeResults), kNotDone); }
    std::string path;
    int descriptor = -1;
    int openError = kNotDone; // the descriptor or -errno
    struct statx status {};
    int statusError = kNotDone;
    int attributeResults[kFetchedCount]; // sizes or -errno
    Bytes values[kFetchedCount];
};

class Ring {
public:
    Ring();
    ~Ring();
    bool active() const { return ready; }
    io_uring_sqe* nextEntry();
    // Submits what is queued and collects the completions of the `count`
    // requests other than closes queued since the last run, each result put
    // where its tag points; false, and the ring out of use from then on,
    // when the ring itself fails.
    bool run(unsigned count);

private:
    bool supportsEveryOperation();
    void reap(io_uring_cqe* completion);
    void reapReady();
    bool collect(unsigned count);

    io_uring ring {};
    bool ready = false;
    unsigned collected = 0; // completions other than closes since the last run
};

Ring::Ring()
{
    // Opt-in: the kernel hands statx and the xattr operations to its worker
    // threads, which costs more processor time than the direct calls save.
    const char* wanted = std::getenv("TOLVANE_IO_URING");
    if (wanted == nullptr || std::strcmp(wanted, "1") != 0 ||
        io_uring_queue_init(kRingEntries, &ring, 0) != 0)
        return;
    ready = supportsEveryOperation();
    if (!ready)
        io_uring_queue_exit(&ring);
}

Ring::~Ring()
{
    if (ready)
        io_uring_queue_exit(&ring);
}

// Kernels before 5.19 lack the extended-attribute operations.
bool Ring::supportsEveryOperation()
{
    io_uring_probe* probe = io_uring_get_probe_ring(&ring);
    if (probe == nullptr)
        return false;
    const bool all = io_uring_opcode_supported(probe, IORING_OP_OPENAT) &&
                     io_uring_opcode_supported(probe, IORING_OP_STATX) &&
                     io_uring_opcode_supported(probe, IORING_OP_FGETXATTR) &&
                     io_uring_opcode_supported(probe, IORING_OP_CLOSE);
    io_uring_free_probe(probe);
    return all;
}

// A full queue is submitted to make room, and whatever has completed is
// collected at once, so that completions never pile up beyond the ring.
io_uring_sqe* Ring::nextEntry()
{
    io_uring_sqe* entry = io_uring_get_sqe(&ring);
    while (entry == nullptr) {
        io_uring_submit(&ring);
        reapReady();
        entry = io_uring_get_sqe(&ring);
    }
    return entry;
}

bool Ring::run(unsigned count)
{
    const unsigned waiting = count > collected ? count - collected : 0;
    const int submitted = io_uring_submit_and_wait(&ring, waiting);
    const bool done = (submitted >= 0 || submitted == -EINTR || submitted == -EBUSY) && collect(count);
    collected = 0;
    if (!done)
        ready = false;
    return done;
}

void Ring::reap(io_uring_cqe* completion)
{
    const __u64 tag = io_uring_cqe_get_data64(completion);
    if (tag != kCloseTag) {
        *reinterpret_cast<int*>(static_cast<std::uintptr_t>(tag)) = completion->res;
        ++collected;
    }
    io_uring_cqe_seen(&ring, completion);
}

void Ring::reapReady()
{
    io_uring_cqe* completion = nullptr;
    while (io_uring_peek_cqe(&ring, &completion) == 0)
        reap(completion);
}

bool Ring::collect(unsigned count)
{
    while (collected < count) {
        io_uring_cqe* completion = nullptr;
        const int error = io_uring_wait_cqe(&ring, &completion);
        if (error == -EINTR || error == -EAGAIN)
            continue;
        if (error != 0)
            return false;
        reap(completion);
    }
    reapReady();
    return true;
}

Ring& ring()
{
    static Ring theRing;
    return theRing;
}

// The run fetched last: files of one listing, in its order.
std::deque<Pending> fetchedRun;
unsigned long fetchedListing = 0;

void dropRun()
{
    for (Pending& pending : fetchedRun)
        if (pending.descriptor >= 0)
            closeLater(Descriptor(pending.descriptor));
    fetchedRun.clear();
}

void queueOpen(int folder, Pending& pending, const std::string& name)
{
    io_uring_sqe* entry = ring().nextEntry();
    io_uring_prep_openat(entry, folder, name.c_str(), TreeResolver::kReadFlags, 0);
    io_uring_sqe_set_data64(entry, reinterpret_cast<std::uintptr_t>(&pending.openError));
}

void queueReads(Pending& pending)
{
    io_uring_sqe* status = ring().nextEntry();
    io_uring_prep_statx(status, pending.descriptor, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW,
                        STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_NLINK | STATX_INO,
                        &pending.status);
    io_uring_sqe_set_data64(status, reinterpret_cast<std::uintptr_t>(&pending.statusError));
    for (std::size_t i = 0; i < kFetchedCount; ++i) {
        pending.values[i].resize(kFirstValueSize);
        io_uring_sqe* read = ring().nextEntry();
        io_uring_prep_fgetxattr(read, pending.descriptor, kFetchedAttributes[i],
                                reinterpret_cast<char*>(pending.values[i].data()),
                                static_cast<unsigned>(pending.values[i].size()));
        io_uring_sqe_set_data64(read, reinterpret_cast<std::uintptr_t>(&pending.attributeResults[i]));
    }
}

// When the ring fails, requests of the run may still be in flight: their
// buffers are kept for the life of the process, and nothing is handed out.
void abandonRun()
{
    static std::vector<std::deque<Pending>> abandoned;
    abandoned.push_back(std::move(fetchedRun));
    fetchedRun.clear();
}

// Opens every file of the run in one submission, then reads the status and
// the fetched attributes of every file opened in another.
void fetchRun(const std::string& prefix, int folder, const std::vector<std::string>& names)
{
    dropRun();
    fetchedRun.resize(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        fetchedRun[i].path = prefix + names[i];
        queueOpen(folder, fetchedRun[i], names[i]);
    }
    if (!ring().run(static_cast<unsigned>(names.size()))) {
        abandonRun();
        return;
    }
    unsigned reads = 0;
    for (Pending& pending : fetchedRun) {
        if (pending.openError < 0)
            continue;
        pending.descriptor = pending.openError;
        pending.openError = 0;
        queueReads(pending);
        reads += 1 + kFetchedCount;
    }
    if (!ring().run(reads))
        abandonRun();
}

// A file is handed out only when it was opened and is a regular file; an
// attribute only when its read gave a value or said there is none (a value
// larger than the first try, or any refusal, is read again by the caller).
bool usable(const Pending& pending)
{
    return pending.descriptor >= 0 && pending.statusError == 0 &&
           S_ISREG(pending.status.stx_mode);
}

bool answered(int result)
{
    return result >= 0 || result == -ENODATA || result == -EOPNOTSUPP;
}

void handOut(Pending& pending, FetchedFile* fetched)
{
    fetched->descriptor.reset(pending.descriptor);
    pending.descriptor = -1;
    fetched->status = {};
    fetched->status.st_mode = pending.status.stx_mode;
    fetched->status.st_uid = pending.status.stx_uid;
    fetched->status.st_gid = pending.status.stx_gid;
    fetched->status.st_nlink = pending.status.stx_nlink;
    fetched->status.st_ino = pending.status.stx_ino;
    fetched->status.st_dev = makedev(pending.status.stx_dev_major, pending.status.stx_dev_minor);
    fetched->attributes.clear();
    for (std::size_t i = 0; i < kFetchedCount; ++i) {
        const int result = pending.attributeResults[i];
        if (!answered(result))
            continue;
        Bytes& value = pending.values[i];
        value.resize(result >= 0 ? static_cast<std::size_t>(result) : 0);
        fetched->attributes.push_back({kFetchedAttributes[i], result < 0 ? -result : 0, {}});
        fetched->attributes.back().value.swap(value);
    }
}

} // namespace

bool takeFetched(const std::string& path, FetchedFile* fetched)
{
    const unsigned long listing = ring().active() ? TreeResolver::listingOfFile(path) : 0;
    if (listing == 0)
        return false;
    if (fetchedRun.empty() || fetchedListing != listing || fetchedRun.front().path != path) {
        int folder = -1;
        const std::vector<std::string> names = TreeResolver::filesAheadFrom(path, kRunLength, &folder);
        if (names.empty())
            return false;
        fetchRun(path.substr(0, path.size() - names.front().size()), folder, names);
        fetchedListing = listing;
        if (fetchedRun.empty())
            return false;
    }
    Pending pending = std::move(fetchedRun.front());
    fetchedRun.pop_front();
    if (!usable(pending)) {
        if (pending.descriptor >= 0)
            closeLater(Descriptor(pending.descriptor));
        return false;
    }
    handOut(pending, fetched);
    return true;
}

void closeLater(Descriptor descriptor)
{
    if (!ring().active() || !descriptor.isOpen())
        return;
    io_uring_sqe* entry = ring().nextEntry();
    io_uring_prep_close(entry, descriptor.release());
    io_uring_sqe_set_data64(entry, kCloseTag);
}

} // namespace posixacl
