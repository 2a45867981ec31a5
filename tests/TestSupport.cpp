#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir()
{
    char pattern[] = "/tmp/tolvane-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root = pattern;
    // Unprivileged probes must be able to reach what lies inside.
    chmod(root.c_str(), 0755);
}

TempDir::~TempDir()
{
    // The tree may hold locked entries; root removes them anyway, and a
    // leftover ACL must not stop the clean-up.
    run("chmod -R u+rwx " + shellQuote(root) + " 2>/dev/null; rm -rf " + shellQuote(root));
}

std::string TempDir::operator/(const std::string& relative) const
{
    return root + "/" + relative;
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::string& directory)
{
    char* current = getcwd(nullptr, 0);
    previous = current != nullptr ? current : "/";
    std::free(current);
    if (chdir(directory.c_str()) != 0)
        throw std::runtime_error("chdir failed: " + directory);
}

ScopedCurrentDirectory::~ScopedCurrentDirectory()
{
    if (chdir(previous.c_str()) != 0)
        ADD_FAILURE() << "could not return to " << previous;
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void makeDirectories(const std::string& path)
{
    run("mkdir -p " + shellQuote(path));
}

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string run(const std::string& command, int* status)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("popen failed: " + command);
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, count);
    int raw = pclose(pipe);
    if (status != nullptr) {
        if (WIFEXITED(raw))
            *status = WEXITSTATUS(raw);
        else if (WIFSIGNALED(raw))
            *status = 128 + WTERMSIG(raw);
        else
            *status = -1;
    }
    return output;
}

std::string getfacl(const std::string& path)
{
    int status = 0;
    std::string out = run("getfacl -cp -- " + shellQuote(path) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    return out;
}

void setfacl(const std::string& arguments, const std::string& path)
{
    int status = 0;
    std::string out = run("setfacl " + arguments + " -- " + shellQuote(path) + " 2>&1", &status);
    ASSERT_EQ(status, 0) << "setfacl " << arguments << " " << path << ": " << out;
}

bool nobodyCanWrite(const std::string& path)
{
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const std::string quoted = shellQuote(path);
    const std::string probe = "[ -d " + quoted + " ] && { t=" + quoted +
                              "/.probe.$$; : > \"$t\" && rm -f \"$t\"; } || { [ ! -d " +
                              quoted + " ] && : >> " + quoted + "; }";
    int status = 0;
    run(asNobody + "sh -c " + shellQuote(probe) + " 2>/dev/null", &status);
    return status == 0;
}

void writeLogConfig(const std::string& directory, const std::string& logFile,
                    const std::string& threshold)
{
    writeFile(directory + "/LogTolvane.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
              "<log4j:configuration xmlns:log4j=\"http://jakarta.apache.org/log4j/\">\n"
              "  <appender name=\"file\" class=\"org.apache.log4j.FileAppender\">\n"
              "    <param name=\"File\" value=\"" + logFile + "\"/>\n"
              "    <param name=\"Append\" value=\"true\"/>\n"
              "    <layout class=\"org.apache.log4j.PatternLayout\">\n"
              "      <param name=\"ConversionPattern\" value=\"%p %m%n\"/>\n"
              "    </layout>\n"
              "  </appender>\n"
              "  <root>\n"
              "    <priority value=\"" + threshold + "\"/>\n"
              "    <appender-ref ref=\"file\"/>\n"
              "  </root>\n"
              "</log4j:configuration>\n");
}

std::vector<std::string> readLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

} // namespace testsupport
