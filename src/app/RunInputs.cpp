#include "app/RunInputs.h"

#include "app/C_Logger.h"
#include "app/FolderList.h"
#include "app/InputTrust.h"

#include <expat.h>
#include <log4cxx/helpers/optionconverter.h>
#include <log4cxx/helpers/properties.h>
#include <log4cxx/helpers/transcoder.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <strings.h>
#include <type_traits>
#include <vector>

namespace {

// The value of a parameter as log4cxx reads it, ${VARIABLE}s replaced; a
// value log4cxx cannot expand is checked as it stands. Never throws: it is
// called from the parser's C code.
std::string substituted(const std::string& value)
{
    try {
        LOG4CXX_DECODE_CHAR(text, value);
        log4cxx::helpers::Properties none;
        const log4cxx::LogString result = log4cxx::helpers::OptionConverter::substVars(text, none);
        LOG4CXX_ENCODE_CHAR(encoded, result);
        return encoded;
    } catch (...) {
        return value;
    }
}

// The files the appenders of `configuration` write: their File parameter,
// and a rolling policy's FileNamePattern, whose files are made later in the
// folder it names.
void XMLCALL collectLogFile(void* files, const XML_Char* element, const XML_Char** attributes)
{
    if (std::strcmp(element, "param") != 0)
        return;
    const char* name = "";
    const char* value = "";
    for (; attributes[0] != nullptr; attributes += 2) {
        if (std::strcmp(attributes[0], "name") == 0)
            name = attributes[1];
        else if (std::strcmp(attributes[0], "value") == 0)
            value = attributes[1];
    }
    if (strcasecmp(name, "file") == 0 || strcasecmp(name, "filenamepattern") == 0)
        static_cast<std::vector<std::string>*>(files)->push_back(substituted(value));
}

// What an unreadable or malformed file names is left out: log4cxx will not
// use it either.
std::vector<std::string> logFilesOf(const std::string& configuration)
{
    std::vector<std::string> files;
    std::ifstream in(configuration, std::ios::binary);
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, void (*)(XML_Parser)> parser(
        XML_ParserCreate(nullptr), XML_ParserFree);
    if (!in || parser == nullptr)
        return files;
    XML_SetUserData(parser.get(), &files);
    XML_SetStartElementHandler(parser.get(), collectLogFile);
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        const bool last = in.eof();
        if (XML_Parse(parser.get(), buffer, static_cast<int>(in.gcount()), last) != XML_STATUS_OK)
            return {};
        if (last)
            break;
    }
    return files;
}

std::string whyLogFilesUntrusted(const std::string& configuration)
{
    for (const std::string& file : logFilesOf(configuration)) {
        const std::string why = whyUntrusted(file, true);
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
    const std::string configuration = directory + kLogConfigFileName;
    std::string why = whyUntrusted(directory, false);
    if (why.empty())
        why = whyUntrusted(configuration, true);
    if (why.empty())
        why = whyLogFilesUntrusted(configuration);
    if (!why.empty())
        return InputRefusal{why, false};
    why = whyUntrusted(directory + kFolderListFileName, true);
    if (!why.empty())
        return InputRefusal{why, true};
    return std::nullopt;
}
