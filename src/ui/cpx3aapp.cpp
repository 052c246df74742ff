#include "ui/cpx3aapp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLockFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "app/clogfile.h"
#include "platform/lasterror.h"
#include "platform/messagepump.h"

CPX3AApp::CPX3AApp() = default;

CPX3AApp::~CPX3AApp() = default;

std::string CPX3AApp::DefaultLockFile()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return (folder + "/PX3").toStdString();
}

std::string CPX3AApp::LockFailedText(const std::string& path)
{
    // The lock itself tells no reason; creating the file once more does.
    QString reason = QCoreApplication::translate("CPX3AApp", "the reason is unknown");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        reason = QString::fromStdString(px::SystemErrorText(errno));
    else
        ::close(fd);
    return QCoreApplication::translate("CPX3AApp", "Pixsalvo 3 cannot start: the lock file %1 cannot be created (%2)")
        .arg(QString::fromStdString(path), reason)
        .toStdString();
}

bool CPX3AApp::CheckSkinFiles() const
{
    const auto& pictures = SkinPictures();
    for (size_t i = 0; i < pictures.size(); ++i) {
        const SkinPicture& picture = pictures[i];
        for (int n = 0; n <= std::max(picture.Last, 0); ++n) {
            const std::string path = m_settings.GetSkinFile(picture, n);
            std::error_code ec;
            const bool present = std::filesystem::is_regular_file(path, ec);
            Log().BeginScope(picture.Key);
            Log().Info("Path:" + path);
            Log().WriteLine("File ReadStatus", present ? "-OK" : "-FAIL", true);
            // The splash is the first picture; without it the program still starts.
            if (!present && i != 0)
                return false;
        }
    }
    return true;
}

bool CPX3AApp::Run(const Hooks& hooks)
{
    // One instance: a second one says so and starts nothing, not even the log.
    m_lock = std::make_unique<QLockFile>(QString::fromStdString(m_lockPath.empty() ? DefaultLockFile() : m_lockPath));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        // Another instance holds the lock; any other failure (a folder that cannot be
        // written, a full disk) is said as it is, with the lock file's place.
        const bool held = m_lock->error() == QLockFile::LockFailedError;
        m_lock.reset();
        if (hooks.Message)
            hooks.Message(held ? std::string(AlreadyRunningText) : LockFailedText(m_lockPath.empty() ? DefaultLockFile() : m_lockPath));
        return false;
    }
    Log().EnableFromCommandLine("LOG", "LOG");
    Log().Open(CSettings::LogFilePath());
    Log().StartApp("");
    for (const std::string& note : m_startNotes)
        Log().Info(note);
    m_settings.LoadSettings();
    Log().Info("Help Path ==>  " + m_settings.GetHelpFile());
    const bool files = CheckSkinFiles();
    if (!files) {
        if (hooks.Message)
            hooks.Message(FilesMissingText);
    } else if (hooks.RunMainWindow) {
        hooks.RunMainWindow(m_settings);
    }
    m_lock->unlock();
    m_lock.reset();
    Shutdown();
    return files;
}

void CPX3AApp::Shutdown()
{
    m_settings.SaveSettings();
    Log().ExitApp("");
    Log().Close();
}

void SetWizardMessagePump(bool on)
{
    if (!on) {
        px::SetMessagePump({});
        return;
    }
    // How often the window gets to run during a job: about 60 times a second.
    constexpr qint64 kPumpIntervalMs = 16;
    px::SetMessagePump([last = QElapsedTimer()]() mutable {
        if (last.isValid() && last.elapsed() < kPumpIntervalMs)
            return;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        last.start();
    });
}
