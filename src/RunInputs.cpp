#include "RunInputs.h"

#include "C_Logger.h"
#include "C_TolvaneManager.h"
#include "InputTrust.h"

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/NodeList.h>
#include <Poco/String.h>
#include <log4cxx/helpers/optionconverter.h>
#include <log4cxx/helpers/properties.h>
#include <log4cxx/helpers/transcoder.h>

#include <vector>

namespace {

// The value of a parameter as log4cxx reads it, ${VARIABLE}s replaced.
std::string substituted(const std::string& value)
{
    LOG4CXX_DECODE_CHAR(text, value);
    log4cxx::helpers::Properties none;
    const log4cxx::LogString result = log4cxx::helpers::OptionConverter::substVars(text, none);
    LOG4CXX_ENCODE_CHAR(encoded, result);
    return encoded;
}

struct LogFile {
    std::string path;
    bool isPattern; // a rolling pattern: only its folder is known
};

// The files the appenders of `configuration` write: their File parameter,
// and the folder of a rolling policy's FileNamePattern.
std::vector<LogFile> logFilesOf(const std::string& configuration)
{
    std::vector<LogFile> files;
    Poco::XML::DOMParser parser;
    Poco::AutoPtr<Poco::XML::Document> document = parser.parse(configuration);
    Poco::AutoPtr<Poco::XML::NodeList> params = document->getElementsByTagName("param");
    for (unsigned long index = 0; index < params->length(); ++index) {
        const auto* param = static_cast<const Poco::XML::Element*>(params->item(index));
        const std::string name = Poco::toLower(param->getAttribute("name"));
        if (name == "file" || name == "filenamepattern")
            files.push_back({substituted(param->getAttribute("value")), name != "file"});
    }
    return files;
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string whyLogFilesUntrusted(const std::string& configuration)
{
    std::vector<LogFile> files;
    try {
        files = logFilesOf(configuration);
    } catch (...) {
        return ""; // log4cxx will not use what it cannot read either
    }
    for (const LogFile& file : files) {
        const std::string why =
            file.isPattern ? whyUntrusted(folderOf(file.path), false) : whyUntrusted(file.path, true);
        if (!why.empty())
            return why;
    }
    return "";
}

} // namespace

std::optional<InputRefusal> refusedInputs(const std::string& directory)
{
    if (!runsAsAdministrator())
        return std::nullopt;
    const std::string configuration = directory + C_Logger::logConfigFileName;
    std::string why = whyUntrusted(directory, false);
    if (why.empty())
        why = whyUntrusted(configuration, true);
    if (why.empty())
        why = whyLogFilesUntrusted(configuration);
    if (!why.empty())
        return InputRefusal{why, false};
    why = whyUntrusted(directory + C_TolvaneManager::configFileName, true);
    if (!why.empty())
        return InputRefusal{why, true};
    return std::nullopt;
}
