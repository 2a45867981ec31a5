// Turns the paths of one folder tree into descriptors. The configured folder
// is resolved once, on entering its tree, one component at a time without
// following any link but root's (refusal::kForeignLink): whoever can write a
// folder above it could otherwise swap it for a link to anywhere. Nothing
// below it is ever reached through a link (refusal::kLink):
// - a folder to list is resolved again from the configured folder, so a
//   folder renamed out of the tree or swapped for a link is not listed;
// - every other entry is opened from the open folder whose listing named it,
//   with one openat of one name, so no path is too long to handle and no
//   path is walked again per entry.
#ifndef TOLVANE_POSIXACL_TREE_RESOLVER_H
#define TOLVANE_POSIXACL_TREE_RESOLVER_H

#include "posixacl/Descriptor.h"

#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace posixacl {

class TreeResolver {
public:
    // How an entry the listing called a regular file or a folder is opened
    // for reading, which costs no path per attribute call later: never
    // through a link, never blocking (a file with a lease), never becoming
    // a controlling terminal, leaving no access time.
    static constexpr int kReadFlags =
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_NOATIME | O_CLOEXEC;

    // Paths below `root` start with `listingPrefix`.
    static void enter(const std::string& root, const std::string& listingPrefix);
    static void leave();

    // What entering found at the configured folder: 0 and its status, or
    // the errno value of why it could not be resolved.
    static int rootStatus(struct stat* status);

    // Opens `path` with `flags` (O_PATH) into `opened`; 0 or an errno value.
    // Inside a tree, a path that is neither the configured folder nor below
    // it is refused (refusal::kOutsideTree); outside any tree only a link in
    // the last component is refused.
    static int open(const std::string& path, int flags, Descriptor* opened);

    // Opens `path` for reading its attributes through the descriptor itself
    // when the listing that named it called it a regular file or a folder
    // (`readable` then true), else, or when that open is refused for any
    // reason, as open(path, O_PATH). The caller checks what was opened.
    static int openForAttributes(const std::string& path, Descriptor* opened, bool* readable);

    // Opens the folder `path` for listing, resolved from the configured
    // folder whatever its length, never through a link.
    static int openFolder(const std::string& path, Descriptor* opened);

    // The status of what `path` names, a link not followed; 0 or an errno.
    static int status(const std::string& path, struct stat* result);

    // When `path` is the entry the innermost listing hands out now and it
    // listed it as a regular file: that listing's number, unique in the
    // process; else 0.
    static unsigned long listingOfFile(const std::string& path);

    // For such a `path`: the names of the regular files that listing has
    // read ahead from there on, `path`'s first, at most `most`, and the
    // listed folder's descriptor (borrowed). Otherwise nothing.
    static std::vector<std::string> filesAheadFrom(const std::string& path, std::size_t most,
                                                   int* folder);
};

// While it lives, the entries named `prefix` + a name are opened from the
// listed folder's descriptor. Held folders nest as listings do.
class HeldFolder {
public:
    // `prefix` and `descriptor` belong to the listing and outlive this.
    HeldFolder(const std::string& prefix, int descriptor);
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    // Entries are read ahead of the one handed out now, the first in line.
    void append(const char* name, unsigned char type);
    // Drops the entry in front.
    void advance();
    std::size_t waiting() const;
    const std::string& name() const;
    unsigned char type() const;

private:
    std::size_t level;
};

} // namespace posixacl

#endif
