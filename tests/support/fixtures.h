#pragma once
// Shared test fixtures: a temporary HOME with XDG folders inside it, card images made at
// test time, and running the project's scripts and tools.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace px::test {

// Points HOME and the XDG folders into a new temporary folder for the test's life, so
// that no test touches the user's files. Removes the folder afterwards.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
    std::vector<std::pair<std::string, std::string>> m_saved;
};

// Limits the size of files this process may write (RLIMIT_FSIZE, with SIGXFSZ ignored, so
// that a write past it fails with EFBIG, as on a full disk) while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    uint64_t m_oldSoft = 0;
    void (*m_oldHandler)(int) = nullptr;
};

// Runs a shell command; returns its exit status, with its standard output in *output.
int Run(const std::string& command, std::string* output = nullptr);
// Quotes a text for the shell.
std::string Quote(const std::string& text);

// Writes a file of the given bytes; false when it cannot.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);
// A sparse or zero-filled file of the given size.
bool MakeBlankImage(const std::string& path, uint64_t bytes);
// A card image made by scripts/make-demo-card (MBR, FAT, camera files deleted). The
// size is in MiB. Fails the test when the script fails.
void MakeDemoCard(const std::string& path, int sizeMiB = 32, const std::string& extraArgs = {});

}  // namespace px::test
