#include "win32/PathHandles_WIN32.h"

#include "win32/FolderResolver_WIN32.h"

#include <map>
#include <mutex>

namespace winsec {

namespace {

// A path may be registered twice (a configured folder listed twice); the
// later registration is the one in use.
struct Registry {
    std::mutex lock;
    std::multimap<std::string, OpenEntry> entries;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

} // namespace

PathRegistration::PathRegistration(const std::string& path, const OpenEntry& entry) : path(path)
{
    Registry& all = registry();
    const std::lock_guard<std::mutex> held(all.lock);
    all.entries.emplace(path, entry);
}

PathRegistration::~PathRegistration()
{
    Registry& all = registry();
    const std::lock_guard<std::mutex> held(all.lock);
    const auto range = all.entries.equal_range(path);
    if (range.first != range.second)
        all.entries.erase(std::prev(range.second));
}

std::optional<OpenEntry> registeredEntry(const std::string& path)
{
    Registry& all = registry();
    const std::lock_guard<std::mutex> held(all.lock);
    const auto range = all.entries.equal_range(path);
    if (range.first == range.second)
        return std::nullopt;
    return std::prev(range.second)->second;
}

OpenEntry entryAt(const std::string& path)
{
    const std::optional<OpenEntry> registered = registeredEntry(path);
    return registered ? *registered : resolveFolder(path);
}

} // namespace winsec
