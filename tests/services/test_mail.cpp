// The support mail handed to a sendmail of the test's own: the message as the mail program
// reads it, the names of its refusals with their reasons, a recipient refused before
// anything runs, an absent or broken mail program, one that hangs and one that is stopped.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QElapsedTimer>

#include <cstdlib>
#include <filesystem>

#include "services/cmail.h"
#include "services/ftpfixture.h"
#include "support/fixtures.h"

namespace {

std::string ReadText(const std::string& path)
{
    const std::vector<uint8_t> bytes = px::test::ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

class Mail : public ::testing::Test {
protected:
    static void SetUpTestSuite() { px::test::EnsureCoreApplication(); }
    void SetUp() override
    {
        const char* path = std::getenv("PATH");
        savedPath = path ? path : "";
        // The machine's own mail system never receives a test's message.
        CMail::SetFallbackPrograms({home.File("nowhere/sendmail")});
        mail.SetHooks({[this](const std::string& text, const std::string& title) { boxes.push_back(title + ": " + text); },
                       [this](bool on) { cursor.push_back(on); }});
    }
    void TearDown() override
    {
        ::setenv("PATH", savedPath.c_str(), 1);
        CMail::SetFallbackPrograms(CMail::DefaultFallbackPrograms());
    }
    // A sendmail in folder that records its arguments (one a line) and its input into
    // the home folder, then runs ending (an exit, a kill); folder is put first on PATH.
    std::string Install(const std::string& ending, const std::string& folder = "bin", mode_t mode = 0755)
    {
        std::filesystem::create_directories(home.File(folder));
        const std::string program = home.File(folder + "/sendmail");
        const std::string script = "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + px::test::Quote(home.File("args")) +
                                   "\ncat > " + px::test::Quote(home.File("stdin")) + "\n" + ending + "\n";
        EXPECT_TRUE(px::test::WriteFile(program, std::vector<uint8_t>(script.begin(), script.end())));
        ::chmod(program.c_str(), mode);
        ::setenv("PATH", (home.File(folder) + ":" + savedPath).c_str(), 1);
        return program;
    }
    bool Ran() const { return std::filesystem::exists(home.File("args")); }

    px::test::TempHome home;
    std::string savedPath;
    std::vector<std::string> boxes;
    std::vector<bool> cursor;
    CMail mail;   // last: its logoff may still reach the hooks
};

TEST_F(Mail, HandsTheMessageToSendmailWithUtf8Body)
{
    Install("exit 0");
    const std::string body = "Premi\xc3\xa8re ligne\r\n.\r\n\r\nend";
    ASSERT_TRUE(mail.SendMail("help@tolvex.example", "Technical support request", body)) << mail.GetError();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(cursor, (std::vector<bool>{true, false}));
    EXPECT_EQ(ReadText(home.File("args")), "-t\n-oi\n");

    const std::string message = ReadText(home.File("stdin"));
    const size_t split = message.find("\n\n");
    ASSERT_NE(split, std::string::npos) << message;
    const std::string headers = message.substr(0, split + 1);
    const std::string login = CMail::LoginName();
    ASSERT_FALSE(login.empty());
    EXPECT_LE(login.size(), CMail::MaxUserName);
    for (const char* line : {"To: help@tolvex.example\n", "Subject: Technical support request\n", "MIME-Version: 1.0\n",
                             "Content-Type: text/plain; charset=UTF-8\n", "Content-Transfer-Encoding: 8bit\n", "Date: "})
        EXPECT_NE(headers.find(line), std::string::npos) << line << " missing in\n" << headers;
    EXPECT_NE(headers.find("From: " + login + "\n"), std::string::npos) << headers;
    EXPECT_EQ(headers.find('\r'), std::string::npos);
    EXPECT_EQ(message.substr(split + 2), "Premi\xc3\xa8re ligne\n.\n\nend\n");

    // The session stays open for the next message; header texts stay on their line and a
    // subject beyond ASCII travels encoded.
    EXPECT_TRUE(mail.IsConnected());

    const std::string composed = CMail::ComposeMessage("a@b.example", "Caf\xc3\xa9\r\nBcc: x@y.example", "", "", "d");
    EXPECT_NE(composed.find("Subject: =?UTF-8?B?Q2Fmw6kgIEJjYzogeEB5LmV4YW1wbGU=?=\n"), std::string::npos) << composed;
    EXPECT_EQ(composed.find("From:"), std::string::npos);
}

TEST_F(Mail, RefusalsOfSendmailShowTheirCodeName)
{
    struct Case {
        const char* ending;
        int code;
        const char* error;   // after the program's path
    };
    for (const Case& c : {Case{"echo 'no such user here' >&2; exit 67", 14,
                               "MAPI_E_UNKNOWN_RECIPIENT: # ended with exit status 67: no such user here"},
                          Case{"echo 'relay refused' >&2; echo 'queue full' >&2; exit 1", 2,
                               "MAPI_E_FAILURE: # ended with exit status 1: relay refused; queue full"},
                          Case{"kill -9 $$", 2, "MAPI_E_FAILURE: # ended abnormally (killed by a signal)"}}) {
        boxes.clear();
        const std::string program = Install(c.ending);
        std::string error = c.error;
        error.replace(error.find('#'), 1, program);
        EXPECT_FALSE(mail.SendMail("help@tolvex.example", "s", "b")) << c.ending;
        EXPECT_EQ(mail.GetLastCode(), c.code) << c.ending;
        EXPECT_EQ(mail.GetError(), error);
        EXPECT_EQ(boxes, (std::vector<std::string>{"EMail Problem: " + error})) << c.ending;
    }
    EXPECT_EQ(cursor.back(), false);
    EXPECT_EQ(MapiErrorName(25), "MAPI_E_INVALID_RECIPS");
    EXPECT_EQ(MapiErrorName(4), "Unknown Error");
    EXPECT_EQ(MapiErrorName(0), "Unknown Error");
}

TEST_F(Mail, ImplausibleRecipientIsRefusedBeforeSendmailRuns)
{
    Install("exit 0");
    for (const char* address : {"support", "a@@b.example", "a@b@c.example", "user@exa mple.example",
                                "user@example.com\nBcc: x@y.example", "<user@example.com>", "user..x@example.com",
                                ".user@example.com", "user@-example.com", "user@example..com", "user@example.com."}) {
        boxes.clear();
        EXPECT_FALSE(mail.SendMail(address, "s", "b")) << address;
        ASSERT_EQ(boxes.size(), 1u) << address;
        EXPECT_EQ(boxes[0].rfind("EMail Problem: MAPI_E_UNKNOWN_RECIPIENT: \"", 0), 0u) << boxes[0];
    }
    EXPECT_FALSE(Ran());
    EXPECT_TRUE(CMail::IsPlausibleAddress("first.last+pc@mail.tolvex-media.example"));
    EXPECT_TRUE(CMail::IsPlausibleAddress("root@localhost"));
}

TEST_F(Mail, AbsentMailProgramFailsSilentlyAndBrokenOneFailsTheLogon)
{
    // An empty folder, then a sendmail that is not executable: no service.
    std::filesystem::create_directories(home.File("empty"));
    Install("exit 0", "plain", 0644);
    ::setenv("PATH", (home.File("empty") + ":" + home.File("plain")).c_str(), 1);
    EXPECT_EQ(CMail::FindProgram(), "");
    EXPECT_FALSE(mail.SendMail("help@tolvex.example", "s", "b"));
    EXPECT_TRUE(boxes.empty());   // the front end tells it, with the reason:
    EXPECT_EQ(mail.GetReason(), "No mail program (sendmail) is installed (looked for on the PATH and at " +
                                    home.File("nowhere/sendmail") + ")");
    EXPECT_FALSE(mail.IsConnected());
    EXPECT_FALSE(Ran());

    // A fallback program serves when PATH has none.
    const std::string fallback = Install("exit 0", "fallback");
    ::setenv("PATH", home.File("empty").c_str(), 1);
    CMail::SetFallbackPrograms({home.File("nowhere/sendmail"), fallback});
    EXPECT_TRUE(mail.SendMail("help@tolvex.example", "s", "b"));
    EXPECT_TRUE(Ran());

    // Present but impossible to start: the logon fails with its own box and no session stays.
    const std::string broken = home.File("broken/sendmail");
    std::filesystem::create_directories(home.File("broken"));
    const std::string script = "#!/nonexistent/interpreter\n";
    ASSERT_TRUE(px::test::WriteFile(broken, std::vector<uint8_t>(script.begin(), script.end())));
    ::chmod(broken.c_str(), 0755);
    ::setenv("PATH", home.File("broken").c_str(), 1);
    CMail fresh;
    fresh.SetHooks({[this](const std::string& text, const std::string& title) { boxes.push_back(title + ": " + text); }, {}});
    EXPECT_FALSE(fresh.SendMail("help@tolvex.example", "s", "b"));
    EXPECT_EQ(boxes, (std::vector<std::string>{"Problem: Cannot connect to MAPI"}));
    EXPECT_EQ(fresh.GetError().rfind("Cannot connect to MAPI: " + broken + " could not be started (", 0), 0u)
        << fresh.GetError();
    EXPECT_FALSE(fresh.IsConnected());
}

// A mail program that hangs never holds the caller longer than the time limit; one that
// the user stops ends at once, without a box.
TEST_F(Mail, HangingSendmailIsStoppedAfterTheTimeLimitOrOnCancel)
{
    const std::string program = Install("sleep 30");
    mail.SetTimeout(300);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(mail.SendMail("help@tolvex.example", "s", "b"));
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_EQ(mail.GetError(), "MAPI_E_FAILURE: " + program + " did not finish within 0.3 seconds and was stopped");
    EXPECT_EQ(boxes.size(), 1u);

    boxes.clear();
    mail.SetTimeout(CMail::SendTimeoutMs);
    int calls = 0;
    bool result = true;
    clock.restart();
    ASSERT_TRUE(mail.StartSend("help@tolvex.example", "s", "b", [&](bool ok) {
        ++calls;
        result = ok;
    }));
    EXPECT_LT(clock.elapsed(), 5000);   // returns while the program runs
    EXPECT_TRUE(mail.IsSending());
    EXPECT_FALSE(mail.StartSend("help@tolvex.example", "s", "b", {}));   // one send at a time
    mail.CancelSend();
    EXPECT_FALSE(mail.IsSending());
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(result);
    EXPECT_EQ(mail.GetLastCode(), MapiCode::UserAbort);
    EXPECT_EQ(mail.GetReason(), program + " was stopped");
    EXPECT_TRUE(boxes.empty());
}

}  // namespace
