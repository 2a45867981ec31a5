#include "FileKind.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <sys/stat.h>

namespace {

[[noreturn]] void throwLikePoco(const std::string& path, int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        throw Poco::FileNotFoundException(path, error);
    case EACCES:
        throw Poco::FileAccessDeniedException(path, error);
    case ENAMETOOLONG:
        throw Poco::PathSyntaxException(path, error);
    default:
        throw Poco::FileException(path, error);
    }
}

} // namespace

FileKind fileKindOf(const std::string& path)
{
    struct stat status;
    if (lstat(path.c_str(), &status) != 0)
        throwLikePoco(path, errno);
    if (S_ISLNK(status.st_mode))
        return FileKind::Link;
    return S_ISDIR(status.st_mode) ? FileKind::Folder : FileKind::Other;
}
