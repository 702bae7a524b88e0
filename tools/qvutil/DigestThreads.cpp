#include "DigestThreads.h"

#include <cstdlib>
#include <cstring>
#include <system_error>

namespace qvutil {

namespace {

void Hash(QvMD5& md5, const uint8_t* p, size_t n) {
    // The digests take the bytes non-const; they only read them.
    md5.Append(const_cast<uint8_t*>(p), static_cast<int32_t>(n));
}

void Hash(QvSHA1& sha1, const uint8_t* p, size_t n) {
    sha1.Append(const_cast<uint8_t*>(p), static_cast<int32_t>(n));
}

}  // namespace

bool DigestThreads::ThreadsWanted() {
    const char* v = std::getenv("QVUTIL_DIGEST_THREADS");
    if (v && std::strcmp(v, "0") == 0) return false;
    return std::thread::hardware_concurrency() > 1;
}

DigestThreads::DigestThreads(QvMD5& md5, QvSHA1& sha1, bool threads) : m_md5(md5), m_sha1(sha1), m_threaded(threads) {
    if (!m_threaded) return;
    try {
        m_threads[0] = std::thread(&DigestThreads::Run, this, 0);
        m_threads[1] = std::thread(&DigestThreads::Run, this, 1);
    } catch (const std::system_error&) {
        // No threads to be had: the digests run inline.
        Finish();
        m_threaded = false;
        m_closing = false;
    }
}

DigestThreads::~DigestThreads() {
    Finish();
}

void DigestThreads::Add(const uint8_t* p, size_t n) {
    if (!m_threaded) {
        Hash(m_md5, p, n);
        Hash(m_sha1, p, n);
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_room.wait(lock, [this] { return m_added - Slowest() < kInFlight; });
    m_pieces[m_added % (kInFlight + 1)] = {p, n};
    ++m_added;
    m_more.notify_all();
}

void DigestThreads::Run(int which) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_more.wait(lock, [this, which] { return m_done[which] < m_added || m_closing; });
        if (m_done[which] == m_added) return;  // closing, and nothing left
        const Piece piece = m_pieces[m_done[which] % (kInFlight + 1)];
        lock.unlock();
        if (which == 0) Hash(m_md5, piece.p, piece.n);
        else Hash(m_sha1, piece.p, piece.n);
        lock.lock();
        ++m_done[which];
        m_room.notify_all();
    }
}

void DigestThreads::Finish() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_more.notify_all();
    for (std::thread& t : m_threads)
        if (t.joinable()) t.join();
}

}  // namespace qvutil
