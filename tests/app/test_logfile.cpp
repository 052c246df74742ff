// The log's line format, scopes, pending text and open rules.
#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/clogfile.h"
#include "app/systeminfo.h"

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::tm FixedTime()
{
    std::tm time {};
    time.tm_year = 2026 - 1900;
    time.tm_mon = 11;
    time.tm_mday = 6;
    time.tm_hour = 14;
    time.tm_min = 5;
    time.tm_sec = 9;
    return time;
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.path().toStdString() + "/PX3Log.txt";
        m_log.SetClock(FixedTime);
        m_log.EnableFromCommandLine("LOG", "LOG");
    }

    QTemporaryDir m_dir;
    std::string m_path;
    CLogFile m_log;
};

}  // namespace

TEST_F(LogFileTest, InfoLineAtFixedTime)
{
    ASSERT_TRUE(m_log.Open(m_path));
    m_log.Info("LoadSettings");
    // "... " padded to 10, " : ", the stamp, two blanks, the text padded to 50, CR LF.
    const std::string expected = "... " + std::string(6, ' ') + " : '12/06/2026 14:05:09'  LoadSettings"
        + std::string(38, ' ') + "\r\n";
    EXPECT_EQ(ReadAll(m_path), expected);
}

TEST_F(LogFileTest, LineFormatPadsButNeverTruncates)
{
    const std::string longText(73, 'x');
    EXPECT_EQ(CLogFile::FormatLine("==Start App", "", longText), "==Start App :   " + longText + "\r\n");
    // Padding counts characters: "é" is two bytes but one column.
    const std::string line = CLogFile::FormatLine("-OK", "", "caf\xc3\xa9");
    EXPECT_EQ(line, "-OK        :   caf\xc3\xa9" + std::string(46, ' ') + "\r\n");
    EXPECT_EQ(CLogFile::FormatStamp(FixedTime()), "'12/06/2026 14:05:09'");
}

TEST_F(LogFileTest, ScopesAndOutcomesCarryTheirTags)
{
    ASSERT_TRUE(m_log.Open(m_path));
    m_log.BeginScope("Check");
    m_log.Outcome(LogMark::Fail, "Drive Length < 1");
    m_log.EndScope("Check");
    std::istringstream lines(ReadAll(m_path));
    std::string line;
    std::vector<std::string> tags;
    while (std::getline(lines, line))
        tags.push_back(line.substr(0, 10));
    EXPECT_EQ(tags, (std::vector<std::string> {"-Start    ", "-FAIL     ", "-End      "}));
}

TEST_F(LogFileTest, EnableFromCommandLine)
{
    m_log.EnableFromCommandLine("-x /log", "LOG");
    EXPECT_TRUE(m_log.IsEnabled());
    m_log.EnableFromCommandLine("-logfile", "LOG");
    EXPECT_FALSE(m_log.IsEnabled());
    m_log.EnableFromCommandLine("run  -- Log", "log");
    EXPECT_TRUE(m_log.IsEnabled());
    m_log.EnableFromCommandLine("", "LOG");
    EXPECT_FALSE(m_log.IsEnabled());
    // Off: nothing opens.
    EXPECT_FALSE(m_log.Open(m_path));
    EXPECT_FALSE(std::filesystem::exists(m_path));
}

TEST_F(LogFileTest, OpeningTheOpenFileAgainDoesNotReopen)
{
    ASSERT_TRUE(m_log.Open(m_path));
    // With the file unlinked, a reopen would create a new one at the same path.
    std::filesystem::remove(m_path);
    EXPECT_TRUE(m_log.Open(m_path));
    EXPECT_TRUE(m_log.Open(""));
    EXPECT_EQ(m_log.GetPath(), m_path);
    m_log.Info("to the unlinked file");
    EXPECT_FALSE(std::filesystem::exists(m_path));

    // Another path closes the first file and opens the second.
    const std::string second = m_dir.path().toStdString() + "/second.txt";
    EXPECT_TRUE(m_log.Open(second));
    EXPECT_EQ(m_log.GetPath(), second);
}

TEST_F(LogFileTest, AppendsAndCreatesMissingFolder)
{
    const std::string nested = m_dir.path().toStdString() + "/Documents/PX3Log.txt";
    ASSERT_FALSE(std::filesystem::exists(m_dir.path().toStdString() + "/Documents"));
    ASSERT_TRUE(m_log.Open(nested));
    m_log.Info("first");
    m_log.Close();
    ASSERT_TRUE(m_log.Open(nested));
    m_log.Info("second");
    m_log.Close();
    const std::string text = ReadAll(nested);
    EXPECT_NE(text.find("first"), std::string::npos);
    EXPECT_LT(text.find("first"), text.find("second"));
}

TEST_F(LogFileTest, FailedOpenBlocksUntilCloseAndKeepsTextPending)
{
    // A regular file where the folder should be: the open must fail.
    const std::string blocker = m_dir.path().toStdString() + "/blocker";
    std::ofstream(blocker) << "x";
    EXPECT_FALSE(m_log.Open(blocker + "/PX3Log.txt"));
    EXPECT_TRUE(m_log.HasFailed());

    m_log.BeginScope("dropped scope");  // scopes are not kept while the log cannot write
    m_log.StartApp("dropped start");
    m_log.Info("kept info");
    m_log.Outcome(LogMark::Ok, "kept outcome");
    EXPECT_NE(m_log.GetPendingText().find("kept info"), std::string::npos);

    EXPECT_FALSE(m_log.Open(m_path)) << "a failed open blocks every later open until Close";
    m_log.Close();
    EXPECT_FALSE(m_log.HasFailed());
    ASSERT_TRUE(m_log.Open(m_path));
    m_log.Info("after");
    const std::string text = ReadAll(m_path);
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    const size_t info = text.find("kept info");
    const size_t outcome = text.find("kept outcome");
    const size_t after = text.find("after");
    ASSERT_NE(info, std::string::npos);
    ASSERT_NE(outcome, std::string::npos);
    EXPECT_LT(info, outcome);
    EXPECT_LT(outcome, after);
    EXPECT_TRUE(m_log.GetPendingText().empty());
}

TEST_F(LogFileTest, PendingTextIsBounded)
{
    m_log.EnableFromCommandLine("", "LOG");
    const std::string text(100, 'p');
    for (int i = 0; i < 20000; ++i)  // about 3 MB of lines
        m_log.Info(std::to_string(i) + text);
    const std::string pending = m_log.GetPendingText();
    EXPECT_LE(pending.size(), CLogFile::PendingLimit);
    EXPECT_GE(pending.size(), CLogFile::PendingLimit / 2);
    EXPECT_EQ(pending.rfind("...", 0), 0u) << "pending text starts with a whole line";
    EXPECT_NE(pending.find("19999" + text), std::string::npos) << "the newest line is kept";
}

TEST_F(LogFileTest, StartAndExitLinesOfARun)
{
    ASSERT_TRUE(m_log.Open(m_path));
    m_log.StartApp("");
    m_log.Info("work");
    m_log.ExitApp("");
    m_log.Close();
    const std::string text = ReadAll(m_path);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind("==Start App : '12/06/2026 14:05:09'", 0), 0u);
    EXPECT_EQ(lines[1].rfind("=OS=       :   ", 0), 0u) << "the system line has no time stamp";
    struct utsname names {};
    ASSERT_EQ(uname(&names), 0);
    EXPECT_NE(lines[1].find(names.release), std::string::npos);
    EXPECT_EQ(lines[3].rfind("==Exit App : '12/06/2026 14:05:09'", 0), 0u);
    EXPECT_EQ(lines[4], "\r") << "each run ends with an empty line";
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
}

TEST_F(LogFileTest, EmptyPathMeansProgramLogInCurrentFolder)
{
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.path().toStdString());
    const bool opened = m_log.Open("");
    const std::string path = m_log.GetPath();
    m_log.Close();
    std::filesystem::current_path(previous);
    ASSERT_TRUE(opened);
    const std::filesystem::path file(path);
    EXPECT_EQ(file.parent_path(), std::filesystem::path(m_dir.path().toStdString()));
    EXPECT_EQ(file.extension(), ".log");
    EXPECT_TRUE(std::filesystem::exists(file));
}

TEST(SystemInfo, OsReleasePrettyName)
{
    EXPECT_EQ(OsReleasePrettyName("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(OsReleasePrettyName("# comment\nPRETTY_NAME='Single \"quoted\"'\n"), "Single \"quoted\"");
    EXPECT_EQ(OsReleasePrettyName("PRETTY_NAME=\"An \\\"escaped\\\" name\"\n"), "An \"escaped\" name");
    EXPECT_EQ(OsReleasePrettyName("NAME=Fedora\nVERSION=\"40 (Workstation)\"\n"), "Fedora 40 (Workstation)");
    EXPECT_EQ(OsReleasePrettyName("garbage without equals\n"), "");
    EXPECT_FALSE(OsDescription().empty());
}
