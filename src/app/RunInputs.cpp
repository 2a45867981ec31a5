#include "app/RunInputs.h"

#include "app/C_Logger.h"
#include "app/FolderList.h"
#include "app/InputTrust.h"

#include <expat.h>
#include <log4cxx/fileappender.h>
#include <log4cxx/helpers/optionconverter.h>
#include <log4cxx/helpers/properties.h>
#include <log4cxx/helpers/transcoder.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <strings.h>
#include <type_traits>
#include <vector>

namespace {

// `value` passed through `change`, which takes and gives log4cxx's own
// string type.
template <typename Change>
std::string changedAsLogString(const std::string& value, Change change)
{
    LOG4CXX_DECODE_CHAR(text, value);
    const log4cxx::LogString result = change(text);
    LOG4CXX_ENCODE_CHAR(encoded, result);
    return encoded;
}

// The value of a parameter as log4cxx reads it, ${VARIABLE}s replaced; a
// value log4cxx cannot expand is checked as it stands, as log4cxx then uses it.
std::string substituted(const std::string& value)
{
    try {
        return changedAsLogString(value, [](const log4cxx::LogString& text) {
            log4cxx::helpers::Properties none;
            return log4cxx::helpers::OptionConverter::substVars(text, none);
        });
    } catch (...) {
        return value;
    }
}

// A name without its namespace prefix: log4cxx's XML reader drops it, so that
// <log4j:param> and log4j:name= are a <param> and a name= to log4cxx.
const char* localName(const char* name)
{
    const char* colon = std::strrchr(name, ':');
    return colon != nullptr ? colon + 1 : name;
}

// log4cxx matches option names without regard to ASCII case.
bool isOneOf(const std::string& name, std::initializer_list<const char*> options)
{
    return std::any_of(options.begin(), options.end(),
                       [&](const char* option) { return strcasecmp(name.c_str(), option) == 0; });
}

// The files the appenders of a log4cxx XML set-up write, read as log4cxx's
// DOMConfigurator reads it: it looks for an appender anywhere in the
// document, and every <param>, under any prefix, sets the option its name=
// names to its value=, both ${}-substituted. A file option is taken from any
// <param> at all, whichever element holds it.
class LogFileNames {
public:
    // False when `in` cannot be read whole, so that what it names is unknown.
    bool read(std::istream& in);
    std::vector<std::string> files() const;

private:
    static void XMLCALL onElement(void* self, const XML_Char* element, const XML_Char** attributes);
    static void XMLCALL onDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int);
    void addParameter(const XML_Char** attributes);
    void addOption(const std::string& name, const std::string& value);
    void stop() { XML_StopParser(parser, XML_FALSE); }

    XML_Parser parser = nullptr;
    std::vector<std::string> appenderFiles;
    std::vector<std::string> patterns;
    std::vector<std::string> datePatterns;
};

bool LogFileNames::read(std::istream& in)
{
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, void (*)(XML_Parser)> owner(
        XML_ParserCreate(nullptr), XML_ParserFree);
    parser = owner.get();
    if (parser == nullptr)
        return false;
    XML_SetUserData(parser, this);
    XML_SetStartElementHandler(parser, onElement);
    XML_SetStartDoctypeDeclHandler(parser, onDoctype);
    char buffer[8192];
    do {
        in.read(buffer, sizeof buffer);
        if (XML_Parse(parser, buffer, static_cast<int>(in.gcount()), XML_FALSE) != XML_STATUS_OK)
            return false;
    } while (in);
    return !in.bad() && XML_Parse(parser, nullptr, 0, XML_TRUE) == XML_STATUS_OK;
}

// A rolled file's name is the appender's File followed by its date pattern,
// quotes dropped; set before any File, the pattern alone.
std::vector<std::string> LogFileNames::files() const
{
    std::vector<std::string> files = appenderFiles;
    files.insert(files.end(), patterns.begin(), patterns.end());
    for (const std::string& pattern : datePatterns) {
        files.push_back(pattern);
        for (const std::string& file : appenderFiles)
            files.push_back(file + pattern);
    }
    return files;
}

// Called from expat's C code: nothing may leave it by an exception.
void XMLCALL LogFileNames::onElement(void* self, const XML_Char* element, const XML_Char** attributes)
{
    auto* names = static_cast<LogFileNames*>(self);
    try {
        if (std::strcmp(localName(element), "param") == 0)
            names->addParameter(attributes);
    } catch (...) {
        names->stop();
    }
}

// A document type could give a <param> a name= it does not spell (an ATTLIST
// default) or make expat pass over an entity; a log set-up needs none.
void XMLCALL LogFileNames::onDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int)
{
    static_cast<LogFileNames*>(self)->stop();
}

// log4cxx joins the values of attributes that share a name after their
// prefixes go, in an order of its own: such a parameter cannot be read here.
void LogFileNames::addParameter(const XML_Char** attributes)
{
    const char* name = nullptr;
    const char* value = nullptr;
    for (; attributes[0] != nullptr; attributes += 2) {
        const char* local = localName(attributes[0]);
        const char** slot = std::strcmp(local, "name") == 0    ? &name
                            : std::strcmp(local, "value") == 0 ? &value
                                                               : nullptr;
        if (slot == nullptr)
            continue;
        if (*slot != nullptr) {
            stop();
            return;
        }
        *slot = attributes[1];
    }
    // log4cxx substitutes a value twice.
    addOption(substituted(name != nullptr ? name : ""),
              substituted(substituted(value != nullptr ? value : "")));
}

// The options of log4cxx's file appenders and rolling policies that name a
// file to write; an empty value sets none. A File loses its doubled
// backslashes as FileAppender takes it.
void LogFileNames::addOption(const std::string& name, const std::string& value)
{
    if (value.empty())
        return;
    if (isOneOf(name, {"File", "FileName"})) {
        appenderFiles.push_back(
            changedAsLogString(value, log4cxx::FileAppender::stripDuplicateBackslashes));
    } else if (isOneOf(name, {"FileNamePattern", "ActiveFileName"})) {
        patterns.push_back(value);
    } else if (isOneOf(name, {"DatePattern", "FileDatePattern"})) {
        std::string pattern = value;
        pattern.erase(std::remove(pattern.begin(), pattern.end(), '\''), pattern.end());
        datePatterns.push_back(pattern);
    }
}

// Nothing when the set-up exists but cannot be read whole (a folder, say);
// no files when it is missing, as log4cxx then writes none.
std::optional<std::vector<std::string>> logFilesOf(const std::string& configuration)
{
    std::error_code error;
    if (std::filesystem::status(configuration, error).type() == std::filesystem::file_type::not_found)
        return std::vector<std::string>{};
    std::ifstream in(configuration, std::ios::binary);
    LogFileNames names;
    if (!in || !names.read(in))
        return std::nullopt;
    return names.files();
}

std::string whyLogFilesUntrusted(const std::string& configuration)
{
    const std::optional<std::vector<std::string>> files = logFilesOf(configuration);
    if (!files)
        return configuration + " cannot be read for the files it writes";
    for (const std::string& file : *files) {
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
