#include "winsec/ObjectName.h"

namespace winsec {

ObjectName::ObjectName(std::string path) : ownPath(std::move(path)), entryName(ownPath.c_str()) {}

ObjectName::ObjectName(int folder, const std::string& name, const PathSpeller& speller)
    : folderHandle(folder), entryName(name.c_str()), speller(&speller)
{
}

ObjectName& ObjectName::listedAsRegularFile()
{
    regularFile = true;
    return *this;
}

ObjectName& ObjectName::refusedWith(int error)
{
    refusalError = error;
    return *this;
}

std::string ObjectName::path() const
{
    return speller != nullptr ? speller->path() : ownPath;
}

} // namespace winsec
