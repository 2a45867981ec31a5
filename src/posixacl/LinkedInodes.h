// Visits of one inode through several hard links take turns: each holds the
// inode from its first call to its last, so that two threads reaching it by
// two names at once work one after the other, each finding what the other
// left, just as one thread would. Only inodes with more than one link, and
// no folder, are held.
#ifndef TOLVANE_POSIXACL_LINKED_INODES_H
#define TOLVANE_POSIXACL_LINKED_INODES_H

#include <condition_variable>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace posixacl {

class LinkedInodes {
public:
    using Inode = std::pair<dev_t, ino_t>;

    // Held until destroyed; empty for an inode that takes no turns.
    class Turn {
    public:
        Turn() = default;
        Turn(LinkedInodes* owner, Inode inode) : owner(owner), inode(inode) {}
        Turn(Turn&& other) noexcept : owner(std::exchange(other.owner, nullptr)), inode(other.inode) {}
        Turn& operator=(Turn&& other) noexcept;
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        ~Turn();
        bool isHeld() const { return owner != nullptr; }

    private:
        LinkedInodes* owner = nullptr;
        Inode inode{};
    };

    // Waits while another visit holds the inode `status` describes.
    Turn take(const struct stat& status);

private:
    void release(const Inode& inode);

    std::mutex mutex;
    std::condition_variable released;
    std::set<Inode> held;
};

} // namespace posixacl

#endif
