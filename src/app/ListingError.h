// The exception Poco::DirectoryIterator throws for a folder that cannot be
// opened or listed, from the platform's error code: the walk's line for such
// a folder names it, as it always has. Defined once per platform.
#ifndef TOLVANE_APP_LISTING_ERROR_H
#define TOLVANE_APP_LISTING_ERROR_H

#include <exception>
#include <string>

std::exception_ptr listingError(const std::string& path, int error);

#endif
