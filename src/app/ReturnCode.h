// The codes a run ends with and each failure stores, and the head every
// coded log line starts with.
#ifndef TOLVANE_RETURN_CODE_H
#define TOLVANE_RETURN_CODE_H

#include <cstdint>
#include <string>

enum class ReturnCode : std::int32_t {
    Success = 1,
    WrongArgument = -1,
    Configuration = -2,   // no folder list, or a wrong or missing value in it
    Missing = -3,         // a path that does not exist
    Permission = -4,      // a path whose write right could not be changed
    AnotherInstance = -6,
    Exception = -7,       // an exception ended an operation
};

// "[tag]: tag :: ReturnCode = N : ", written once for every coded line.
std::string codedHead(const std::string& tag, ReturnCode code);

// "[tag]: tag", for lines that carry no code or spell it their own way.
std::string taggedHead(const std::string& tag);

#endif
