#include "app/FailureReason.h"

#include "app/LogTexts.h"
#include "app/ReturnCode.h"
#include "app/SystemError.h"

#include <algorithm>

std::string reasonLine(const char* tag, const std::vector<int>& errors, const std::string& path)
{
    std::string texts;
    for (auto error = errors.begin(); error != errors.end(); ++error) {
        if (*error == 0 || std::find(errors.begin(), error, *error) != error)
            continue;
        texts += (texts.empty() ? "" : logtext::kReasonSeparator) + systemErrorText(*error);
    }
    if (texts.empty())
        return texts;
    return taggedHead(tag) + logtext::kReasonBefore + texts + logtext::kReasonFor + path;
}
