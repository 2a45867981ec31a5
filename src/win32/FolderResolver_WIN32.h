// A configured folder, resolved once into an open handle. The path is
// opened from the root of its volume one name at a time, each name relative
// to the folder before it; a name surrogate on the way (junction, symbolic
// link, mount point), the configured folder itself included, is followed
// only when Administrators, SYSTEM or TrustedInstaller own it and nobody
// else may write its data or attributes, change its DACL or owner, delete
// it, or delete it from its folder, by walking its target the same way.
// Whoever else may do any of that could point it anywhere, so the path is
// then refused.
#ifndef TOLVANE_FOLDER_RESOLVER_WIN32_H
#define TOLVANE_FOLDER_RESOLVER_WIN32_H

#include "win32/OpenEntry_WIN32.h"

#include <string>

namespace winsec {

// The error a refused path reports.
constexpr DWORD kErrorRefusedReparsePoint = ERROR_CANT_ACCESS_FILE;

// `path` in UTF-8, as Tolvane.ini gives it. The handle may read and write
// the DACL of what it names.
OpenEntry resolveFolder(const std::string& path);

// The same for a path already wide; exposed for the checks of input files.
OpenEntry resolveWidePath(const std::wstring& path, ACCESS_MASK lastAccess);

} // namespace winsec

#endif
