#include "app/systeminfo.h"

#include <sys/utsname.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

// One os-release value: the text after "=", with one level of single or double quotes
// removed and backslash escapes resolved, as the os-release format defines it.
std::string UnquoteValue(const std::string& raw)
{
    std::string value = raw;
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
        value.pop_back();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        const char quote = value.front();
        std::string out;
        for (size_t i = 1; i + 1 < value.size(); ++i) {
            if (quote == '"' && value[i] == '\\' && i + 2 < value.size()) {
                out += value[++i];
                continue;
            }
            out += value[i];
        }
        return out;
    }
    return value;
}

std::string ReadFile(const char* path)
{
    std::ifstream in(path);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Describe()
{
    // /etc/os-release is the distribution's file; /usr/lib/os-release the fallback the
    // format names for systems whose /etc lacks it.
    std::string pretty = OsReleasePrettyName(ReadFile("/etc/os-release"));
    if (pretty.empty())
        pretty = OsReleasePrettyName(ReadFile("/usr/lib/os-release"));
    std::string kernel;
    struct utsname names {};
    if (uname(&names) == 0)
        kernel = std::string(names.sysname) + " " + names.release + " " + names.machine;
    if (pretty.empty())
        return kernel.empty() ? std::string("Linux") : kernel;
    if (kernel.empty())
        return pretty;
    return pretty + ", " + kernel;
}

}  // namespace

std::string OsReleasePrettyName(const std::string& osReleaseText)
{
    std::map<std::string, std::string> values;
    std::istringstream lines(osReleaseText);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        const size_t eq = line.find('=', start);
        if (eq == std::string::npos)
            continue;
        values[line.substr(start, eq - start)] = UnquoteValue(line.substr(eq + 1));
    }
    if (auto it = values.find("PRETTY_NAME"); it != values.end() && !it->second.empty())
        return it->second;
    std::string name = values["NAME"];
    const std::string& version = values["VERSION"];
    if (!name.empty() && !version.empty())
        name += " " + version;
    return name;
}

std::string OsDescription()
{
    static const std::string description = Describe();
    return description;
}
