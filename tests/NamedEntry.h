// An entry named the way the walk names it: by its folder, held open here,
// and its one name in that folder. A fresh one opens the entry afresh.
#ifndef TOLVANE_NAMED_ENTRY_H
#define TOLVANE_NAMED_ENTRY_H

#include "posixacl/FolderHandle.h"
#include "winsec/ObjectName.h"
#include "winsec/SecurityApi.h"

#include <fcntl.h>

#include <memory>
#include <string>

namespace testsupport {

class NamedEntry {
public:
    explicit NamedEntry(const std::string& path)
        : spelt(path), name(path.substr(path.rfind('/') + 1))
    {
        const std::string parent = path.find('/') == std::string::npos
                                       ? "."
                                       : path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
        folder.descriptor.reset(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        object = std::make_unique<winsec::ObjectName>(&folder, name, spelt);
    }
    // The folder itself, as the walk names a folder it has opened.
    static std::unique_ptr<NamedEntry> folderItself(const std::string& path)
    {
        auto entry = std::make_unique<NamedEntry>(path + "/.");
        entry->name.clear();
        entry->object = std::make_unique<winsec::ObjectName>(&entry->folder, entry->name, entry->spelt);
        entry->spelt.spelt = path;
        return entry;
    }

    winsec::ObjectName& operator*() const { return *object; }

private:
    struct Spelt final : winsec::PathSpeller {
        explicit Spelt(std::string path) : spelt(std::move(path)) {}
        std::string path() const override { return spelt; }
        std::string spelt;
    };

    Spelt spelt;
    std::string name;
    winsec::FolderHandle folder;
    std::unique_ptr<winsec::ObjectName> object;
};

// The system's security operations, without a record store, for the tests
// of one process.
inline winsec::SecurityApi& systemApi()
{
    static const std::unique_ptr<winsec::SecurityApi> api =
        winsec::openSystemSecurityApi(winsec::BackendSettings{});
    return *api;
}

} // namespace testsupport

#endif
