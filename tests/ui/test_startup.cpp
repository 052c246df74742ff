// Start-up and shutdown of the wizard: one instance, the skin's presence checks with their
// log lines, the error box, and the settings and log closed in every path.
#include <gtest/gtest.h>

#include <QLockFile>
#include <QSettings>
#include <QString>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/fixtures.h"
#include "ui/cpx3aapp.h"

namespace fs = std::filesystem;

namespace {

class StartUp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(px::test::Run("QT_QPA_PLATFORM=offscreen " + std::string(PX3_MAKESKIN_EXE) + " " +
                                px::test::Quote(home.File("install/Skin"))),
                  0);
        // The store names the installed home folder, as a first run's save leaves it.
        QSettings(QString::fromStdString(store), QSettings::IniFormat)
            .setValue("Settings/Home Folder", QString::fromStdString(home.File("install")));
    }
    // Runs the program's start-up with the hooks recording what they were asked.
    bool Start(CPX3AApp& app)
    {
        app.Settings().SetStoreFile(store);
        app.SetLockFile(home.File("PX3"));
        return app.Run({[this](const std::string& text) { messages.push_back(text); },
                        [this](CSettings&) { ++windows; }});
    }
    std::string LogText() const
    {
        std::ifstream in(home.File("Documents/PX3Log.txt"), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    px::test::TempHome home;
    std::string store = home.File("store.ini");
    std::vector<std::string> messages;
    int windows = 0;
};

TEST_F(StartUp, EveryPictureThereRunsTheMainWindowAndShutsDown)
{
    CPX3AApp app;
    EXPECT_TRUE(Start(app));
    EXPECT_EQ(windows, 1);
    EXPECT_TRUE(messages.empty());
    const std::string log = LogText();
    EXPECT_NE(log.find("Help Path ==>  " + home.File("install/Help/PX3Help.html")), std::string::npos) << log;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_FALSE(line.find("File ReadStatus") != std::string::npos && line.find("-FAIL") != std::string::npos)
            << line;
    EXPECT_NE(log.find("==Exit App"), std::string::npos) << log;
    // The settings were written at shutdown.
    EXPECT_TRUE(QSettings(QString::fromStdString(store), QSettings::IniFormat).contains("Settings/FilePrefix"));
}

TEST_F(StartUp, MissingPicturesStopOnlyWhenTheyAreNotTheSplash)
{
    fs::remove(home.File("install/Skin/PX3Splash.jpg"));
    {
        CPX3AApp app;
        EXPECT_TRUE(Start(app));
        EXPECT_EQ(windows, 1) << "the splash is not needed";
    }
    fs::remove(home.File("install/Skin/RecoverSelect_5.png"));
    CPX3AApp app;
    EXPECT_FALSE(Start(app));
    EXPECT_EQ(windows, 1) << "no main window without a picture";
    EXPECT_EQ(messages, std::vector<std::string>{CPX3AApp::FilesMissingText});
    const std::string log = LogText();
    const size_t missing = log.rfind("RecoverSelect_5.png");
    ASSERT_NE(missing, std::string::npos) << log;
    const size_t status = log.find("File ReadStatus", missing);
    ASSERT_NE(status, std::string::npos) << log;
    EXPECT_EQ(log.substr(status, log.find('\n', status) - status).find("-FAIL") != std::string::npos, true) << log;
    EXPECT_EQ(log.find("ToolSelect_0.png", missing), std::string::npos) << "the checks stop at the first missing file";
    EXPECT_NE(log.find("==Exit App", missing), std::string::npos) << "shutdown ran";
}

TEST_F(StartUp, SecondInstanceStartsNothing)
{
    QLockFile other(QString::fromStdString(home.File("PX3")));
    ASSERT_TRUE(other.tryLock(0));
    CPX3AApp app;
    EXPECT_FALSE(Start(app));
    EXPECT_EQ(messages, std::vector<std::string>{CPX3AApp::AlreadyRunningText});
    EXPECT_EQ(windows, 0);
    EXPECT_FALSE(QSettings(QString::fromStdString(store), QSettings::IniFormat).contains("Settings/FilePrefix"))
        << "no settings written";
    EXPECT_FALSE(fs::exists(home.File("Documents/PX3Log.txt"))) << "no log started";
    other.unlock();
    EXPECT_TRUE(Start(app));
}

// A lock file that cannot be made (its folder is gone) is no other instance: start-up
// says what failed and why.
TEST_F(StartUp, LockFileThatCannotBeMadeSaysWhy)
{
    CPX3AApp app;
    app.Settings().SetStoreFile(store);
    app.SetLockFile(home.File("gone/PX3"));
    EXPECT_FALSE(app.Run({[this](const std::string& text) { messages.push_back(text); }, [this](CSettings&) { ++windows; }}));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Pixsalvo 3 cannot start: the lock file " + home.File("gone/PX3") +
                               " cannot be created (No such file or directory)");
    EXPECT_EQ(windows, 0);
}

}  // namespace
