#pragma once
// The update server of the tests: tests/services/ftpserver.py (pyftpdlib) on 127.0.0.1
// with the update account, started on a free port for one test and stopped with it, with
// the faults of a bad server; the files an update server holds; a release key pair of the
// test's own that signs its installers.
#include <gtest/gtest.h>
#include <sodium.h>

#include <QCoreApplication>
#include <QProcess>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "services/csignaturecheck.h"
#include "support/fixtures.h"

namespace px::test {

class FtpServer {
public:
    struct Options {
        long rate = 0;         // bytes a second of file data; 0: as fast as it goes
        long stopAfter = -1;   // the server exits after this many bytes of one file
        long cut = -1;         // a file ends after this many bytes with a clean "226"
        bool stall = false;    // the data connection opens and stays silent
        bool noSize = false;   // SIZE is refused
        bool mute = false;     // connections are accepted and never answered
        std::string only;      // the faults hit only the files whose name ends so
    };

    FtpServer(const std::string& root, Options options)
    {
        // Debian's interpreter has python3-pyftpdlib; another python3 on the PATH may not.
        const char* python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
        QStringList arguments{PX3_SOURCE_DIR "/tests/services/ftpserver.py", QString::fromStdString(root)};
        if (options.rate > 0)
            arguments << "--rate" << QString::number(options.rate);
        if (options.stopAfter >= 0)
            arguments << "--stop-after" << QString::number(options.stopAfter);
        if (options.cut >= 0)
            arguments << "--cut" << QString::number(options.cut);
        if (options.stall)
            arguments << "--stall";
        if (options.noSize)
            arguments << "--no-size";
        if (options.mute)
            arguments << "--mute";
        if (!options.only.empty())
            arguments << "--only" << QString::fromStdString(options.only);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(python, arguments);
        EXPECT_TRUE(m_process.waitForStarted(10000)) << "ftpserver.py does not start";
        // It prints "PORT <n>" once it listens.
        std::string line;
        while (line.find('\n') == std::string::npos && m_process.waitForReadyRead(10000))
            line += m_process.readAll().toStdString();
        if (line.rfind("PORT ", 0) == 0)
            m_port = std::stoi(line.substr(5));
        EXPECT_GT(m_port, 0) << "ftpserver.py printed: " << line;
    }
    explicit FtpServer(const std::string& root) : FtpServer(root, Options{}) {}
    ~FtpServer()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    QProcess m_process;
    int m_port = 0;
};

// A release key pair made for one test: what it signs verifies under Public() only.
class TestReleaseKey {
public:
    TestReleaseKey()
    {
        EXPECT_GE(sodium_init(), 0);
        crypto_sign_keypair(m_public.data(), m_secret);
    }
    const CSignatureCheck::PublicKey& Public() const { return m_public; }
    std::vector<uint8_t> Sign(const std::vector<uint8_t>& bytes) const
    {
        std::vector<uint8_t> signature(crypto_sign_BYTES);
        crypto_sign_detached(signature.data(), nullptr, bytes.data(), bytes.size(), m_secret);
        return signature;
    }

private:
    CSignatureCheck::PublicKey m_public{};
    unsigned char m_secret[crypto_sign_SECRETKEYBYTES] = {};
};

// The files of an update server under root: the index lists builds, each build has its
// build information file and an installer.
class UpdateSite {
public:
    explicit UpdateSite(std::string root) : m_root(std::move(root)) {}

    void Put(const std::string& path, const std::string& text) const
    {
        Put(path, std::vector<uint8_t>(text.begin(), text.end()));
    }
    void Put(const std::string& path, const std::vector<uint8_t>& bytes) const
    {
        const std::filesystem::path file = m_root + path;
        std::filesystem::create_directories(file.parent_path());
        ASSERT_TRUE(WriteFile(file.string(), bytes)) << file;
    }
    // An installer and, next to it, its signature by key (path + ".sig").
    void PutSigned(const std::string& path, const std::vector<uint8_t>& bytes, const TestReleaseKey& key) const
    {
        Put(path, bytes);
        Put(path + ".sig", key.Sign(bytes));
    }
    // An index with a licence and one BUILD per number, each pointing at
    // /PX3Win/Builds/<n>/build.xml.
    void PutIndex(const std::vector<std::string>& buildNumbers, const std::string& license = "Line one\nLine two") const
    {
        std::string text = "<?xml version='1.0'?>\n<Updates>\n<License>" + license + "</License>\n";
        for (const std::string& number : buildNumbers)
            text += "<Build buildnumber='" + number + "' version='3.0." + number + "' location='" + InfoPath(number) +
                    "'></Build>\n";
        Put("/PX3Win/Update/PX3update_index.xml", text + "</Updates>\n");
    }
    // The build information of build number: the build with its installer path (and
    // sha256 attribute when given) and two features, then a later BUILD of the same
    // number that points elsewhere. The top element carries scheme.
    void PutBuild(const std::string& number, const std::string& installer, const std::string& scheme = "1",
                  const std::string& sha256 = {}) const
    {
        std::string text = "<BuildInfo scheme='" + scheme + "'>\n<BUILD buildnumber='" + number + "' version='3.0.0." +
                           number + "' location='" + installer + "'" + (sha256.empty() ? "" : " sha256='" + sha256 + "'") +
                           ">\n<FEATURE>  Faster scans  </FEATURE>\n<Feature>Sound files</Feature>\n</BUILD>\n"
                           "<BUILD buildnumber='" + number + "' location='/elsewhere/old.deb'></BUILD>\n</BuildInfo>\n";
        Put(InfoPath(number), text);
    }
    static std::string InfoPath(const std::string& number) { return "/PX3Win/Builds/" + number + "/build.xml"; }

private:
    std::string m_root;
};

// Bytes that no two positions of a test file share by accident.
inline std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return bytes;
}

// A QCoreApplication for the process when none is there (QProcess and the event
// processing of the tests need one).
inline void EnsureCoreApplication()
{
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "test";
        static char* argv[] = {name, nullptr};
        static QCoreApplication* app = new QCoreApplication(argc, argv);
        (void)app;
    }
}

}  // namespace px::test
