#include "app/ListingError.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

#include <windows.h>

std::exception_ptr listingError(const std::string& path, int error)
{
    try {
        SetLastError(static_cast<DWORD>(error));
        Poco::File::handleLastError(path);
    } catch (...) {
        return std::current_exception();
    }
    return std::make_exception_ptr(Poco::FileException(path, error));
}
