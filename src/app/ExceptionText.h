// How a line names an exception that ended an operation.
#ifndef TOLVANE_APP_EXCEPTION_TEXT_H
#define TOLVANE_APP_EXCEPTION_TEXT_H

#include <exception>
#include <string>

namespace Poco {
class Exception;
}

// "<pocoLabel><name> -- <message>".
std::string pocoExceptionText(const char* pocoLabel, const Poco::Exception& exception);

// The text of `exception`: POCO's with `pocoLabel` as above, or, where
// `pocoLabel` is null, as the standard exceptions they derive from; a
// standard one as "STD Exception <what>"; anything else as the unknown one.
std::string exceptionText(const std::exception_ptr& exception, const char* pocoLabel);

#endif
