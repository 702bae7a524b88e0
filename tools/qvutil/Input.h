#pragma once

// Reading a file or standard input in pieces, never whole, with a progress bar on a
// terminal for work that takes more than a moment.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qvutil {

// Exit statuses of every subcommand.
enum Exit { kOk = 0, kCheckFailed = 1, kUsage = 2 };

// Prints "qvutil: <what>" on standard error.
void Error(const std::string& what);

// Size of the pieces that files are read in. Tests shrink it (QVUTIL_PIECE_SIZE) so that
// every piece boundary logic runs on small files too.
size_t PieceSize();

class Progress {
public:
    // total: bytes the work will cover, or -1 when unknown (a pipe).
    Progress(const std::string& label, int64_t total);
    ~Progress();
    void Update(int64_t done);
    void Finish();

private:
    void Draw(int64_t done);
    std::string m_label;
    int64_t m_total;
    bool m_enabled, m_shown = false;
    std::chrono::steady_clock::time_point m_start, m_last;
};

class Input {
public:
    Input() = default;
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Opens a file, or standard input for "-". Reports failures itself.
    bool Open(const std::string& path);
    const std::string& Name() const { return m_name; }
    // Size of a regular file; -1 for pipes and terminals.
    int64_t Size() const { return m_size; }
    bool Seekable() const { return m_size >= 0; }

    // Appends up to n bytes to out; 0 at the end. -1 on a read error (reported).
    long Read(std::vector<uint8_t>& out, size_t n);
    // Reads exactly n bytes at offset (seekable inputs only) into out. False on failure.
    bool ReadAt(int64_t offset, size_t n, std::vector<uint8_t>& out);

private:
    int m_fd = -1;
    bool m_owned = false;
    int64_t m_size = -1;
    std::string m_name;
};

// Writes all bytes to a file descriptor; false on failure (reported with the name).
bool WriteAll(int fd, const uint8_t* p, size_t n, const std::string& name);

}  // namespace qvutil
