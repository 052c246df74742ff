#include "support/fixtures.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace px::test {

namespace {
const char* const kVars[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                             "XDG_RUNTIME_DIR", "XDG_DOCUMENTS_DIR", "XDG_PICTURES_DIR"};
}

TempHome::TempHome()
{
    char pattern[] = "/tmp/px3test.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    m_path = made ? made : "/tmp";
    for (const char* var : kVars) {
        const char* old = std::getenv(var);
        m_saved.emplace_back(var, old ? old : std::string("\x01"));
    }
    std::filesystem::create_directories(m_path + "/.config");
    std::filesystem::create_directories(m_path + "/.local/share");
    std::filesystem::create_directories(m_path + "/.cache");
    std::filesystem::create_directories(m_path + "/run");
    ::chmod((m_path + "/run").c_str(), 0700);
    ::setenv("HOME", m_path.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (m_path + "/.config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (m_path + "/.local/share").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (m_path + "/.cache").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (m_path + "/run").c_str(), 1);
    ::setenv("XDG_DOCUMENTS_DIR", (m_path + "/Documents").c_str(), 1);
    ::setenv("XDG_PICTURES_DIR", (m_path + "/Pictures").c_str(), 1);
}

TempHome::~TempHome()
{
    for (const auto& [var, value] : m_saved) {
        if (value == "\x01")
            ::unsetenv(var.c_str());
        else
            ::setenv(var.c_str(), value.c_str(), 1);
    }
    std::error_code ec;
    if (m_path.rfind("/tmp/px3test.", 0) == 0)
        std::filesystem::remove_all(m_path, ec);
}

std::string Quote(const std::string& text)
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

FileSizeLimit::FileSizeLimit(uint64_t bytes)
{
    rlimit limit {};
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    m_oldSoft = limit.rlim_cur;
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

FileSizeLimit::~FileSizeLimit()
{
    rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = m_oldSoft;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, m_oldHandler);
}

int Run(const std::string& command, std::string* output)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    const int status = ::pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

bool MakeBlankImage(const std::string& path, uint64_t bytes)
{
    std::error_code ec;
    { std::ofstream out(path, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(path, bytes, ec);
    return !ec;
}

void MakeDemoCard(const std::string& path, int sizeMiB, const std::string& extraArgs)
{
    std::string log;
    const std::string cmd = std::string(PX3_SOURCE_DIR) + "/scripts/make-demo-card --size " +
                            std::to_string(sizeMiB) + " " + extraArgs + " " + Quote(path) + " 2>&1";
    const int rc = Run(cmd, &log);
    ASSERT_EQ(rc, 0) << "make-demo-card failed:\n" << log;
}

}  // namespace px::test
