#include "posixacl/BatchRing.h"

#include "posixacl/AttributeNames.h"
#include "posixacl/Descriptor.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <liburing.h>
#include <sched.h>
#include <sys/sysmacros.h>

namespace posixacl {

namespace {

// Requests in flight at once: a stage of a piece is submitted in a few
// calls, and the ring's memory stays small.
constexpr unsigned kRingEntries = 256;
// Most ACLs and records are a few dozen bytes; a larger one is read again
// by the visit itself.
constexpr std::size_t kAttributeReadSize = 256;

constexpr int kNeededOperations[] = {IORING_OP_OPENAT, IORING_OP_STATX, IORING_OP_FGETXATTR,
                                     IORING_OP_CLOSE};

// What one stage asks of each of its requests: `prepare` fills the request
// numbered k, `complete` takes its result (a count, or -errno).
struct Stage {
    std::size_t count;
    void (*prepare)(void* context, std::size_t k, io_uring_sqe* request);
    void (*complete)(void* context, std::size_t k, int result);
    void* context;
};

void setStatus(const struct statx& extended, struct stat* status)
{
    *status = {};
    status->st_mode = extended.stx_mode;
    status->st_uid = extended.stx_uid;
    status->st_gid = extended.stx_gid;
    status->st_ino = extended.stx_ino;
    status->st_nlink = extended.stx_nlink;
    status->st_dev = makedev(extended.stx_dev_major, extended.stx_dev_minor);
}

void takeAttribute(AttributeRead* read, int result)
{
    if (result >= 0) {
        read->value.resize(static_cast<std::size_t>(result));
        read->error = 0;
    } else {
        read->error = result == -ERANGE ? AttributeRead::kNotRead : -result;
    }
}

std::string refusal(const char* what, int result)
{
    return std::string(what) + ": " + std::strerror(-result);
}

} // namespace

struct BatchRing::Ring {
    io_uring ring{};
    bool initialised = false;
    std::vector<struct statx> statuses;
    int broken = 0; // the -errno the ring stopped taking requests with

    ~Ring()
    {
        if (initialised)
            io_uring_queue_exit(&ring);
    }
    void run(const Stage& stage);
    void reap(const Stage& stage, std::vector<bool>* done, unsigned* inFlight);
};

// Every request is completed, whatever the kernel says of the ring: where it
// refuses to take more, what was not completed completes with its error, as
// a refused call would, and the ring is used no more.
void BatchRing::Ring::run(const Stage& stage)
{
    std::vector<bool> done(broken == 0 ? stage.count : 0);
    std::size_t next = 0;
    unsigned inFlight = 0;
    while (broken == 0 && (next < stage.count || inFlight > 0)) {
        io_uring_sqe* request = nullptr;
        while (next < stage.count && inFlight < kRingEntries &&
               (request = io_uring_get_sqe(&ring)) != nullptr) {
            stage.prepare(stage.context, next, request);
            io_uring_sqe_set_data64(request, next++);
            ++inFlight;
        }
        const int submitted = io_uring_submit_and_wait(&ring, 1);
        if (submitted < 0 && submitted != -EINTR && submitted != -EAGAIN && submitted != -EBUSY)
            broken = submitted;
        else
            reap(stage, &done, &inFlight);
    }
    for (std::size_t k = 0; k < stage.count; ++k)
        if (broken != 0 && (k >= done.size() || !done[k]))
            stage.complete(stage.context, k, broken);
}

void BatchRing::Ring::reap(const Stage& stage, std::vector<bool>* done, unsigned* inFlight)
{
    io_uring_cqe* completion = nullptr;
    unsigned head = 0;
    unsigned seen = 0;
    io_uring_for_each_cqe(&ring, head, completion)
    {
        const std::size_t k = io_uring_cqe_get_data64(completion);
        stage.complete(stage.context, k, completion->res);
        (*done)[k] = true;
        ++seen;
    }
    io_uring_cq_advance(&ring, seen);
    *inFlight -= seen;
}

namespace {

bool bindToCpu(io_uring* ring, int cpu)
{
    if (cpu < 0)
        return true;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0 &&
           io_uring_register_iowq_aff(ring, sizeof set, &set) == 0;
}

std::string missingOperation(io_uring* ring)
{
    io_uring_probe* probe = io_uring_get_probe_ring(ring);
    if (probe == nullptr)
        return "io_uring cannot say which operations it has";
    std::string missing;
    for (const int operation : kNeededOperations)
        if (!io_uring_opcode_supported(probe, operation))
            missing = "io_uring lacks operation " + std::to_string(operation);
    io_uring_free_probe(probe);
    return missing;
}

} // namespace

std::unique_ptr<BatchRing> BatchRing::open(int cpu, std::string* problem)
{
    auto ring = std::make_unique<Ring>();
    const int result = io_uring_queue_init(kRingEntries, &ring->ring, 0);
    ring->initialised = result == 0;
    if (result != 0) {
        *problem = refusal("io_uring_setup", result);
        return nullptr;
    }
    *problem = missingOperation(&ring->ring);
    if (problem->empty() && !bindToCpu(&ring->ring, cpu))
        *problem = refusal("binding io_uring to a CPU", -errno);
    if (!problem->empty())
        return nullptr;
    return std::unique_ptr<BatchRing>(new BatchRing(std::move(ring)));
}

BatchRing::BatchRing(std::unique_ptr<Ring> ring) : ring(std::move(ring)) {}

BatchRing::~BatchRing() = default;

namespace {

struct ReadContext {
    int folder;
    std::vector<EntryRead>* entries;
    std::vector<struct statx>* statuses;
    std::vector<std::size_t> opened; // indices of the entries opened
};

void prepareOpen(void* context, std::size_t k, io_uring_sqe* request)
{
    auto* read = static_cast<ReadContext*>(context);
    io_uring_prep_openat(request, read->folder, (*read->entries)[k].name.c_str(), kReadFlags, 0);
}

void completeOpen(void* context, std::size_t k, int result)
{
    auto* read = static_cast<ReadContext*>(context);
    (*read->entries)[k].descriptor = result >= 0 ? result : -1;
    if (result >= 0)
        read->opened.push_back(k);
}

// Three requests per entry opened: status, access ACL, record.
void prepareQuery(void* context, std::size_t k, io_uring_sqe* request)
{
    auto* read = static_cast<ReadContext*>(context);
    const std::size_t index = read->opened[k / 3];
    EntryRead& entry = (*read->entries)[index];
    switch (k % 3) {
    case 0:
        io_uring_prep_statx(request, entry.descriptor, "",
                            AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS,
                            &(*read->statuses)[index]);
        return;
    case 1:
        entry.accessAcl.value.resize(kAttributeReadSize);
        io_uring_prep_fgetxattr(request, entry.descriptor, kAccessAclName,
                                reinterpret_cast<char*>(entry.accessAcl.value.data()),
                                kAttributeReadSize);
        return;
    default:
        entry.record.value.resize(kAttributeReadSize);
        io_uring_prep_fgetxattr(request, entry.descriptor, kWriteRecordName,
                                reinterpret_cast<char*>(entry.record.value.data()),
                                kAttributeReadSize);
        return;
    }
}

void completeQuery(void* context, std::size_t k, int result)
{
    auto* read = static_cast<ReadContext*>(context);
    const std::size_t index = read->opened[k / 3];
    EntryRead& entry = (*read->entries)[index];
    switch (k % 3) {
    case 0:
        entry.statusRead = result == 0;
        if (entry.statusRead)
            setStatus((*read->statuses)[index], &entry.status);
        return;
    case 1:
        takeAttribute(&entry.accessAcl, result);
        return;
    default:
        takeAttribute(&entry.record, result);
        return;
    }
}

void prepareClose(void* context, std::size_t k, io_uring_sqe* request)
{
    auto* read = static_cast<ReadContext*>(context);
    io_uring_prep_close(request, (*read->entries)[read->opened[k]].descriptor);
}

// A descriptor the ring could not close is closed by the plain call.
void completeClose(void* context, std::size_t k, int result)
{
    auto* read = static_cast<ReadContext*>(context);
    int& descriptor = (*read->entries)[read->opened[k]].descriptor;
    if (result < 0)
        Descriptor(descriptor).reset();
    descriptor = -1;
}

} // namespace

void BatchRing::read(int folder, std::vector<EntryRead>* entries)
{
    ring->statuses.resize(entries->size());
    ReadContext context{folder, entries, &ring->statuses, {}};
    ring->run(Stage{entries->size(), prepareOpen, completeOpen, &context});
    ring->run(Stage{context.opened.size() * 3, prepareQuery, completeQuery, &context});
}

void BatchRing::closeAll(std::vector<EntryRead>* entries)
{
    ReadContext context{-1, entries, nullptr, {}};
    for (std::size_t index = 0; index < entries->size(); ++index)
        if ((*entries)[index].descriptor >= 0)
            context.opened.push_back(index);
    ring->run(Stage{context.opened.size(), prepareClose, completeClose, &context});
}

} // namespace posixacl
