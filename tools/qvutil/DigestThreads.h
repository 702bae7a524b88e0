#pragma once

// MD5 and SHA-1 of a stream given in pieces, each digest on a thread of its own, over the
// caller's own buffers: inspect reads every byte once and analyses it while both digests
// run beside it. Add returns once at most kInFlight pieces are unfinished, so a caller
// that rotates kInFlight + 1 buffers never overwrites bytes a digest still reads. With one
// core, or QVUTIL_DIGEST_THREADS=0, the digests run in Add itself, one after the other.

#include "QvMD5.h"
#include "QvSHA1.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qvutil {

class DigestThreads {
public:
    static constexpr size_t kInFlight = 3;

    // threads: false runs the digests inline (as with one core).
    DigestThreads(QvMD5& md5, QvSHA1& sha1, bool threads = ThreadsWanted());
    // Two cores or more, and QVUTIL_DIGEST_THREADS not 0.
    static bool ThreadsWanted();
    ~DigestThreads();
    DigestThreads(const DigestThreads&) = delete;
    DigestThreads& operator=(const DigestThreads&) = delete;

    // The next piece; p stays valid until kInFlight more pieces have been added, or Finish.
    void Add(const uint8_t* p, size_t n);
    // Waits until both digests have taken every piece. Further Adds are not allowed.
    void Finish();

    bool Threaded() const { return m_threaded; }

private:
    struct Piece {
        const uint8_t* p = nullptr;
        size_t n = 0;
    };
    void Run(int which);
    uint64_t Slowest() const { return m_done[0] < m_done[1] ? m_done[0] : m_done[1]; }

    QvMD5& m_md5;
    QvSHA1& m_sha1;
    bool m_threaded = false;
    std::mutex m_mutex;
    std::condition_variable m_more, m_room;
    Piece m_pieces[kInFlight + 1];
    uint64_t m_added = 0;
    uint64_t m_done[2] = {0, 0};
    bool m_closing = false;
    std::thread m_threads[2];
};

}  // namespace qvutil
