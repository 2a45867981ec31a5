#include "posixacl/BatchRing.h"

#include "posixacl/Descriptor.h" // kReadFlags

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <liburing.h>

namespace posixacl {

namespace {

// Requests in flight at once, at least a window of the walk's.
constexpr unsigned kRingEntries = 128;
// Completions are gathered for the one thread that waits for them and
// handed over when it asks, not each as it comes.
constexpr unsigned kSetupFlags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
constexpr int kNeededOperations[] = {IORING_OP_OPENAT, IORING_OP_CLOSE, IORING_OP_NOP};

std::string refusal(const char* what, int result)
{
    return std::string(what) + ": " + std::strerror(-result);
}

} // namespace

struct BatchRing::Ring {
    io_uring ring{};
    bool initialised = false;
    int broken = 0; // the -errno the ring stopped taking requests with

    ~Ring()
    {
        if (initialised)
            io_uring_queue_exit(&ring);
    }
    template <typename Prepare, typename Complete>
    void run(std::size_t count, Prepare prepare, Complete complete);
    template <typename Complete>
    void reap(Complete complete, unsigned* inFlight);
};

// Where the kernel refuses the ring, it is used no more, and what it did not
// complete is left as it was: an entry not opened is opened by its visit; a
// descriptor whose close was not confirmed is left open rather than closed
// twice, when its number may have been given out again.
template <typename Prepare, typename Complete>
void BatchRing::Ring::run(std::size_t count, Prepare prepare, Complete complete)
{
    std::size_t next = 0;
    unsigned inFlight = 0;
    while (broken == 0 && (next < count || inFlight > 0)) {
        io_uring_sqe* request = nullptr;
        while (next < count && inFlight < kRingEntries &&
               (request = io_uring_get_sqe(&ring)) != nullptr) {
            prepare(next, request);
            io_uring_sqe_set_data64(request, next++);
            ++inFlight;
        }
        const int submitted = io_uring_submit_and_wait(&ring, inFlight);
        if (submitted < 0 && submitted != -EINTR && submitted != -EAGAIN && submitted != -EBUSY)
            broken = submitted;
        else
            reap(complete, &inFlight);
    }
}

template <typename Complete>
void BatchRing::Ring::reap(Complete complete, unsigned* inFlight)
{
    io_uring_cqe* completion = nullptr;
    unsigned head = 0;
    unsigned seen = 0;
    io_uring_for_each_cqe(&ring, head, completion)
    {
        complete(io_uring_cqe_get_data64(completion), completion->res);
        ++seen;
    }
    io_uring_cq_advance(&ring, seen);
    *inFlight -= seen;
}

namespace {

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

std::unique_ptr<BatchRing> BatchRing::open(std::string* problem)
{
    auto ring = std::make_unique<Ring>();
    int result = io_uring_queue_init(kRingEntries, &ring->ring, kSetupFlags);
    if (result == -EINVAL) // a kernel before 6.1, without those flags
        result = io_uring_queue_init(kRingEntries, &ring->ring, 0);
    ring->initialised = result == 0;
    *problem = result != 0 ? refusal("io_uring_setup", result) : missingOperation(&ring->ring);
    if (!problem->empty())
        return nullptr;
    return std::unique_ptr<BatchRing>(new BatchRing(std::move(ring)));
}

BatchRing::BatchRing(std::unique_ptr<Ring> ring) : ring(std::move(ring)) {}

BatchRing::~BatchRing() = default;

void BatchRing::openAll(int folder, std::vector<EntryOpening>* entries)
{
    ring->run(
        entries->size(),
        [&](std::size_t k, io_uring_sqe* request) {
            io_uring_prep_openat(request, folder, (*entries)[k].name, kReadFlags, 0);
        },
        [&](std::size_t k, int result) { (*entries)[k].descriptor = result >= 0 ? result : -1; });
}

// A close that fails has still let go of the descriptor, as close(2) does.
// An entry not opened takes a no-op, so that nothing here allocates: this
// runs while a failed visit unwinds.
void BatchRing::closeAll(std::vector<EntryOpening>* entries)
{
    ring->run(
        entries->size(),
        [&](std::size_t k, io_uring_sqe* request) {
            const int descriptor = (*entries)[k].descriptor;
            if (descriptor >= 0)
                io_uring_prep_close(request, descriptor);
            else
                io_uring_prep_nop(request);
        },
        [&](std::size_t k, int) { (*entries)[k].descriptor = -1; });
}

} // namespace posixacl
