#include "app/ExceptionText.h"

#include "app/LogTexts.h"

#include <Poco/Exception.h>

std::string pocoExceptionText(const char* pocoLabel, const Poco::Exception& exception)
{
    return std::string(pocoLabel) + exception.name() + logtext::kPocoSeparator +
           exception.message();
}

std::string exceptionText(const std::exception_ptr& exception, const char* pocoLabel)
{
    try {
        std::rethrow_exception(exception);
    } catch (const Poco::Exception& e) {
        if (pocoLabel != nullptr)
            return pocoExceptionText(pocoLabel, e);
        return logtext::kStdLabel + std::string(e.what());
    } catch (const std::exception& e) {
        return logtext::kStdLabel + std::string(e.what());
    } catch (...) {
        return logtext::kUnknownException;
    }
}
