#include "Input.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvutil {

void Error(const std::string& what) {
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

// --- Progress -------------------------------------------------------------------------

Progress::Progress(const std::string& label, int64_t total)
    : m_label(label), m_total(total), m_enabled(isatty(STDERR_FILENO) == 1) {
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
    if (m_total > 0) {
        const int width = 30;
        const double frac = static_cast<double>(done) / static_cast<double>(m_total);
        const int fill = static_cast<int>(frac * width);
        std::fprintf(stderr, "\r%s [%.*s%*s] %3d%% %.1f MiB", m_label.c_str(), fill,
                     "##############################", width - fill, "", static_cast<int>(frac * 100), mib);
    } else {
        std::fprintf(stderr, "\r%s %.1f MiB", m_label.c_str(), mib);
    }
    std::fflush(stderr);
}

void Progress::Finish() {
    if (m_shown) std::fprintf(stderr, "\r\033[K");
    m_shown = false;
    m_enabled = false;
}

// --- Input ----------------------------------------------------------------------------

Input::~Input() {
    if (m_owned && m_fd >= 0) close(m_fd);
}

bool Input::Open(const std::string& path) {
    if (path == "-") {
        m_fd = STDIN_FILENO;
        m_name = "-";
    } else {
        m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        m_name = path;
        if (m_fd < 0) {
            Error(path + ": " + std::strerror(errno));
            return false;
        }
        m_owned = true;
    }
    struct stat st;
    if (fstat(m_fd, &st) != 0) {
        Error(m_name + ": " + std::strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        Error(m_name + ": Is a directory");
        return false;
    }
    m_size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
    return true;
}

long Input::Read(std::vector<uint8_t>& out, size_t n) {
    const size_t at = out.size();
    out.resize(at + n);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(m_fd, out.data() + at + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            out.resize(at + got);
            Error(m_name + ": " + std::strerror(errno));
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
        const ssize_t r = pread(m_fd, out.data() + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            Error(m_name + ": " + (r < 0 ? std::strerror(errno) : "file shrank while reading"));
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n, const std::string& name) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
            Error(name + ": " + std::strerror(errno));
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace qvutil
