#include "posixacl/LinkedInodes.h"

namespace posixacl {

LinkedInodes::Turn& LinkedInodes::Turn::operator=(Turn&& other) noexcept
{
    if (this != &other) {
        if (owner != nullptr)
            owner->release(inode);
        owner = std::exchange(other.owner, nullptr);
        inode = other.inode;
    }
    return *this;
}

LinkedInodes::Turn::~Turn()
{
    if (owner != nullptr)
        owner->release(inode);
}

LinkedInodes::Turn LinkedInodes::take(const struct stat& status)
{
    if (status.st_nlink < 2 || S_ISDIR(status.st_mode))
        return Turn();
    const Inode inode(status.st_dev, status.st_ino);
    std::unique_lock<std::mutex> hold(mutex);
    released.wait(hold, [&] { return held.count(inode) == 0; });
    held.insert(inode);
    return Turn(this, inode);
}

void LinkedInodes::release(const Inode& inode)
{
    {
        std::lock_guard<std::mutex> hold(mutex);
        held.erase(inode);
    }
    released.notify_all();
}

} // namespace posixacl
