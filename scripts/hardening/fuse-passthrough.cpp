// A FUSE file system that shows a backing folder as it is, as sshfs and
// other user-space file systems show theirs: through libfuse's high-level
// interface, which names each inode by a node id counted from 1 in lookup
// order and new at each mount, and without extended attributes (no ACLs, no
// trusted. namespace). Enough for a run of tolvane: lookups, listings,
// opening files for reading, and chmod.
//
// usage: fuse-passthrough BACKING_FOLDER MOUNT_POINT [FUSE OPTIONS...]
// Runs single-threaded in the foreground until the mount is unmounted.
#define FUSE_USE_VERSION 31

#include <fuse3/fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string backingPath(const char* path)
{
    return *static_cast<const std::string*>(fuse_get_context()->private_data) + path;
}

int result(int status)
{
    return status == 0 ? 0 : -errno;
}

int getAttributes(const char* path, struct stat* status, fuse_file_info*)
{
    return result(lstat(backingPath(path).c_str(), status));
}

int readFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags)
{
    DIR* folder = opendir(backingPath(path).c_str());
    if (folder == nullptr)
        return -errno;
    while (const dirent* entry = readdir(folder))
        fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    closedir(folder);
    return 0;
}

int openFile(const char* path, fuse_file_info* file)
{
    const int descriptor = open(backingPath(path).c_str(), file->flags & ~O_NOATIME);
    if (descriptor < 0)
        return -errno;
    file->fh = static_cast<std::uint64_t>(descriptor);
    return 0;
}

int readFile(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* file)
{
    const ssize_t got = pread(static_cast<int>(file->fh), buffer, size, offset);
    return got < 0 ? -errno : static_cast<int>(got);
}

int releaseFile(const char*, fuse_file_info* file)
{
    close(static_cast<int>(file->fh));
    return 0;
}

int changeMode(const char* path, mode_t mode, fuse_file_info*)
{
    return result(chmod(backingPath(path).c_str(), mode));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BACKING_FOLDER MOUNT_POINT [FUSE OPTIONS...]\n", argv[0]);
        return 2;
    }
    char* absolute = realpath(argv[1], nullptr);
    if (absolute == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    std::string backing = absolute;
    std::free(absolute);
    fuse_operations operations{};
    operations.getattr = getAttributes;
    operations.readdir = readFolder;
    operations.open = openFile;
    operations.read = readFile;
    operations.release = releaseFile;
    operations.chmod = changeMode;
    std::vector<char*> arguments = {argv[0], const_cast<char*>("-f"), const_cast<char*>("-s")};
    arguments.insert(arguments.end(), argv + 2, argv + argc);
    return fuse_main(static_cast<int>(arguments.size()), arguments.data(), &operations, &backing);
}
