#include "FolderListing.h"

#include <Poco/Path.h>

std::string FolderListing::prefixOf(const std::string& folder)
{
    return Poco::Path(folder).makeDirectory().toString();
}
