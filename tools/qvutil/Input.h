#pragma once

// The tool's only contact with the operating system: reading a file or standard input in
// pieces, never whole, writing to a file or standard output, and a progress bar on a
// console for work that takes more than a moment. POSIX and Windows sit behind the same
// calls; file names are UTF-8 on both (Windows gets them from the wide command line).

#include <chrono>
#include <cstdint>
#include <cstdio>
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

// Puts the standard streams in binary mode (Windows would otherwise turn LF into CR LF
// and stop reading at ^Z) and, on Windows, replaces argv by the UTF-8 form of the
// wide command line so that any file name can be opened. Call first thing in main.
void InitProcess(int& argc, char**& argv);

// The reason of the last failed file operation, worded as strerror words it on Linux.
std::string LastError();

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
    size_t m_drawn = 0;
    std::chrono::steady_clock::time_point m_start, m_last;
};

class Input {
public:
    Input() = default;
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Opens a file, or standard input for "-". Reports failures itself, unless quiet: then
    // neither a failed Open nor a failed Read says anything, and the caller words the message
    // from Failure() (the reason), Missing() (no such file) and Directory().
    bool Open(const std::string& path, bool quiet = false);
    const std::string& Failure() const { return m_failure; }
    bool Missing() const { return m_missing; }
    bool Directory() const { return m_directory; }
    const std::string& Name() const { return m_name; }
    // Size of a regular file; -1 for pipes and terminals.
    int64_t Size() const { return m_size; }
    bool Seekable() const { return m_size >= 0; }
    // A pipe or socket (not a terminal or device).
    bool Pipe() const { return m_pipe; }

    // Appends up to n bytes to out; 0 at the end. -1 on a read error (reported).
    long Read(std::vector<uint8_t>& out, size_t n);
    // Reads exactly n bytes at offset (seekable inputs only) into out. False on failure.
    bool ReadAt(int64_t offset, size_t n, std::vector<uint8_t>& out);
    // Reads up to n bytes at offset (seekable inputs only) into p: fewer only where the
    // file ends. -1 on a read error (reported).
    long ReadUpTo(int64_t offset, uint8_t* p, size_t n);

private:
    bool Fail(const std::string& reason);

    int m_fd = -1;
    bool m_owned = false;
    bool m_quiet = false, m_missing = false, m_directory = false, m_pipe = false;
    int64_t m_size = -1;
    std::string m_name, m_failure;
};

// Lines of an input, read in pieces: each without its delimiter (a last line without one
// counts too). Lines of any length, CR LF left to the caller.
class LineReader {
public:
    explicit LineReader(Input& in, char delimiter = '\n') : m_in(in), m_delimiter(delimiter) {}
    // 1 with a line, 0 at the end, -1 on a read error (reported).
    int Next(std::string& line);

private:
    Input& m_in;
    char m_delimiter;
    std::vector<uint8_t> m_buf;
    size_t m_pos = 0;
    bool m_eof = false;
};

// A file created (or truncated) for writing, or standard output for "-".
class Output {
public:
    Output() = default;
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Reports failures itself.
    bool Open(const std::string& path);
    // False on failure (reported with the name).
    bool Write(const uint8_t* p, size_t n);
    // Hands what is buffered to the system; false when that fails (reported).
    bool Flush();
    // Flushes, and closes a file; false when anything written was lost (reported).
    bool Close();

private:
    FILE* m_file = nullptr;
    bool m_owned = false;
    bool m_failed = false;
    std::string m_name;
};

}  // namespace qvutil
