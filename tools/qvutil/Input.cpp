#include "Input.h"

#include "Commands.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#  include <fcntl.h>
#  include <io.h>
#  include <shellapi.h>
#  include <sys/stat.h>
#else
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <unistd.h>
// Files past 2 GiB on 32-bit builds: the build sets _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) == 8, "64-bit file offsets needed");
#endif

namespace qvutil {

void Error(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "qvutil: %s\n", what.c_str());
}

size_t PieceSize() {
    static const size_t size = [] {
        const char* v = std::getenv("QVUTIL_PIECE_SIZE");
        const long n = v ? std::strtol(v, nullptr, 10) : 0;
        return n >= 8 ? static_cast<size_t>(n) : size_t{1} << 20;
    }();
    return size;
}

std::string LastError() {
    return std::strerror(errno);
}

// --- The operating system -------------------------------------------------------------

namespace {

#if defined(_WIN32)

std::wstring Wide(const std::string& s) {
    if (s.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::string Utf8(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n) - 1);
    return s;
}

bool StderrIsConsole() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int OpenRead(const std::string& path) {
    return _wopen(Wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

// 0 regular file (size set), 1 directory, 2 anything else (pipe, console, device).
int Kind(int fd, int64_t& size) {
    struct _stat64 st;
    if (_fstat64(fd, &st) != 0) return -1;
    size = st.st_size;
    return (st.st_mode & _S_IFDIR) ? 1 : (st.st_mode & _S_IFREG) ? 0 : (st.st_mode & _S_IFIFO) ? 3 : 2;
}

// Windows will not open a directory as a file; say what Linux says of reading one.
bool IsDirectory(const std::string& path) {
    const DWORD a = GetFileAttributesW(Wide(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

long ReadSome(int fd, uint8_t* p, size_t n) {
    return _read(fd, p, static_cast<unsigned>(n < (1u << 30) ? n : (1u << 30)));
}

// As pread: the position that Read goes on from stays where it was.
long ReadSomeAt(int fd, uint8_t* p, size_t n, int64_t offset) {
    const int64_t was = _telli64(fd);
    if (was < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    const long r = ReadSome(fd, p, n);
    const int saved = errno;
    if (_lseeki64(fd, was, SEEK_SET) < 0) return -1;
    errno = saved;
    return r;
}

void CloseFd(int fd) {
    _close(fd);
}

FILE* OpenWrite(const std::string& path) {
    return _wfopen(Wide(path).c_str(), L"wb");
}

#else

bool StderrIsConsole() {
    return isatty(STDERR_FILENO) == 1;
}

int OpenRead(const std::string& path) {
    return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int Kind(int fd, int64_t& size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    size = static_cast<int64_t>(st.st_size);
    return S_ISDIR(st.st_mode) ? 1 : S_ISREG(st.st_mode) ? 0 : S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? 3 : 2;
}

bool IsDirectory(const std::string&) {
    return false;
}

long ReadSome(int fd, uint8_t* p, size_t n) {
    return static_cast<long>(read(fd, p, n < (1u << 30) ? n : (1u << 30)));
}

long ReadSomeAt(int fd, uint8_t* p, size_t n, int64_t offset) {
    return static_cast<long>(pread(fd, p, n < (1u << 30) ? n : (1u << 30), static_cast<off_t>(offset)));
}

void CloseFd(int fd) {
    close(fd);
}

FILE* OpenWrite(const std::string& path) {
    return std::fopen(path.c_str(), "wb");
}

#endif

}  // namespace

void InitProcess(int& argc, char**& argv) {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);  // messages end in LF, as on every other system
    // The narrow argv holds names in the ANSI code page, which cannot spell most of them.
    static std::vector<std::string> utf8;
    static std::vector<char*> ptrs;
    int n = 0;
    if (wchar_t** w = CommandLineToArgvW(GetCommandLineW(), &n)) {
        for (int i = 0; i < n; ++i) utf8.push_back(Utf8(w[i]));
        LocalFree(w);
        for (std::string& s : utf8) ptrs.push_back(&s[0]);
        ptrs.push_back(nullptr);
        argc = n;
        argv = ptrs.data();
    }
#else
    (void)argc;
    (void)argv;
#endif
}

// --- Progress -------------------------------------------------------------------------

Progress::Progress(const std::string& label, int64_t total)
    : m_label(label), m_total(total), m_enabled(StderrIsConsole()) {
    m_start = m_last = std::chrono::steady_clock::now();
}

Progress::~Progress() {
    Finish();
}

void Progress::Update(int64_t done) {
    if (!m_enabled) return;
    const auto now = std::chrono::steady_clock::now();
    // Quiet for the first half second, then ten updates a second at most.
    if (now - m_start < std::chrono::milliseconds(500)) return;
    if (m_shown && now - m_last < std::chrono::milliseconds(100)) return;
    m_last = now;
    Draw(done);
}

void Progress::Draw(int64_t done) {
    m_shown = true;
    const double mib = static_cast<double>(done) / (1 << 20);
    char line[256];
    int n;
    if (m_total > 0) {
        const int width = 30;
        const double frac = static_cast<double>(done) / static_cast<double>(m_total);
        const int fill = static_cast<int>(frac * width);
        n = std::snprintf(line, sizeof line, "%.60s [%.*s%*s] %3d%% %.1f MiB", m_label.c_str(), fill,
                          "##############################", width - fill, "", static_cast<int>(frac * 100), mib);
    } else {
        n = std::snprintf(line, sizeof line, "%.60s %.1f MiB", m_label.c_str(), mib);
    }
    m_drawn = n > 0 ? static_cast<size_t>(n) : 0;
    std::fprintf(stderr, "\r%s", line);
    std::fflush(stderr);
}

void Progress::Finish() {
    // Blanks rather than an escape sequence: not every console understands those.
    if (m_shown) std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_drawn), "");
    m_shown = false;
    m_enabled = false;
}

// --- Input ----------------------------------------------------------------------------

Input::~Input() {
    if (m_owned && m_fd >= 0) CloseFd(m_fd);
}

bool Input::Fail(const std::string& reason) {
    m_failure = reason;
    if (!m_quiet) Error(ShownName(m_name) + ": " + reason);
    return false;
}

bool Input::Open(const std::string& path, bool quiet) {
    m_name = path;
    m_quiet = quiet;
    if (path == "-") {
        m_fd = 0;
    } else {
        m_fd = OpenRead(path);
        if (m_fd < 0) {
            m_missing = errno == ENOENT;
            const std::string reason = LastError();
            m_directory = IsDirectory(path);
            return Fail(m_directory ? std::string("Is a directory") : reason);
        }
        m_owned = true;
    }
    int64_t size = -1;
    const int kind = Kind(m_fd, size);
    if (kind < 0) return Fail(LastError());
    if (kind == 1) {
        m_directory = true;
        return Fail("Is a directory");
    }
    m_size = kind == 0 ? size : -1;
    m_pipe = kind == 3;
    return true;
}

long Input::Read(std::vector<uint8_t>& out, size_t n) {
    const size_t at = out.size();
    out.resize(at + n);
    size_t got = 0;
    while (got < n) {
        const long r = ReadSome(m_fd, out.data() + at + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            out.resize(at + got);
            Fail(LastError());
            return -1;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    out.resize(at + got);
    return static_cast<long>(got);
}

bool Input::ReadAt(int64_t offset, size_t n, std::vector<uint8_t>& out) {
    out.resize(n);
    size_t got = 0;
    while (got < n) {
        const long r = ReadSomeAt(m_fd, out.data() + got, n - got, offset + static_cast<int64_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return Fail(r < 0 ? LastError() : std::string("file shrank while reading"));
        got += static_cast<size_t>(r);
    }
    return true;
}

long Input::ReadUpTo(int64_t offset, uint8_t* p, size_t n) {
    size_t got = 0;
    while (got < n) {
        const long r = ReadSomeAt(m_fd, p + got, n - got, offset + static_cast<int64_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            Fail(LastError());
            return -1;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<long>(got);
}

// --- LineReader -----------------------------------------------------------------------

int LineReader::Next(std::string& line) {
    size_t scanned = m_pos;
    for (;;) {
        const uint8_t* begin = m_buf.data() + m_pos;
        // memchr wants a valid pointer even for 0 bytes, and an empty buffer has none.
        const void* hit =
            scanned < m_buf.size() ? std::memchr(m_buf.data() + scanned, m_delimiter, m_buf.size() - scanned) : nullptr;
        if (hit) {
            const uint8_t* end = static_cast<const uint8_t*>(hit);
            line.assign(reinterpret_cast<const char*>(begin), static_cast<size_t>(end - begin));
            m_pos = static_cast<size_t>(end - m_buf.data()) + 1;
            return 1;
        }
        if (m_eof) {
            if (m_pos == m_buf.size()) return 0;
            line.assign(reinterpret_cast<const char*>(begin), m_buf.size() - m_pos);
            m_pos = m_buf.size();
            return 1;
        }
        m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<long>(m_pos));
        m_pos = 0;
        scanned = m_buf.size();
        const long got = m_in.Read(m_buf, 1 << 16);
        if (got < 0) return -1;
        m_eof = got == 0;
    }
}

// --- Output ---------------------------------------------------------------------------

Output::~Output() {
    if (m_owned && m_file) std::fclose(m_file);
}

bool Output::Open(const std::string& path) {
    if (path == "-") {
        m_file = stdout;
        m_name = "standard output";
        return true;
    }
    m_name = path;
    m_file = OpenWrite(path);
    if (!m_file) {
        Error(ShownName(path) + ": " + (IsDirectory(path) ? std::string("Is a directory") : LastError()));
        return false;
    }
    m_owned = true;
    return true;
}

bool Output::Write(const uint8_t* p, size_t n) {
    if (m_failed) return false;
    if (n && std::fwrite(p, 1, n, m_file) != n) {
        Error(ShownName(m_name) + ": " + LastError());
        m_failed = true;
    }
    return !m_failed;
}

bool Output::Flush() {
    if (m_file && !m_failed && std::fflush(m_file) != 0) {
        Error(ShownName(m_name) + ": " + LastError());
        m_failed = true;
    }
    return !m_failed;
}

bool Output::Close() {
    bool ok = Flush();
    if (m_owned) {
        if (std::fclose(m_file) != 0 && ok) {
            Error(ShownName(m_name) + ": " + LastError());
            m_failed = true;
            ok = false;
        }
        m_owned = false;
        m_file = nullptr;
    }
    return ok;
}

}  // namespace qvutil
