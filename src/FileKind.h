// What a directory entry is, learnt without following it.
#ifndef TOLVANE_FILE_KIND_H
#define TOLVANE_FILE_KIND_H

#include <string>

enum class FileKind { Link, Folder, Other };

// One query of the entry itself: a link (or, on Windows, any reparse point)
// is reported as such, never as what it leads to. Throws the
// Poco::FileException that Poco::File would for a path that cannot be
// queried (vanished, too long, ...).
FileKind fileKindOf(const std::string& path);

#endif
