#include "Pump.h"

#include <algorithm>

namespace qvutil {

namespace {

// What one read at an offset fetches: what the demuxer asks for (a sample's first bytes, a
// whole index), but not less than a page, so that small neighbours come with it, nor more
// than it can use soon; a demuxer that can use any amount gets a middling block.
constexpr size_t kMinRead = 4096, kMaxRead = 1 << 20, kAnyRead = 64 * 1024;

class ElementaryDemux final : public Demuxer {
public:
    explicit ElementaryDemux(EsSink& sink) : m_sink(sink) {
        StreamInfo info;
        info.id = kElementaryId;
        info.kind = StreamKind::kVideo;
        m_facts.streams.push_back(info);
        m_sink.OnStream(info);
    }
    Want Next() const override { return {m_fed, Want::kAny}; }
    void Feed(const uint8_t* p, size_t n) override {
        if (!n) return;
        m_fed += static_cast<int64_t>(n);
        m_sink.OnData(kElementaryId, p, n, -1, -1);
    }
    void Finish() override {}
    std::string Warnings() const override { return std::string(); }
    const ContainerFacts& Facts() const override { return m_facts; }

private:
    EsSink& m_sink;
    ContainerFacts m_facts;
    int64_t m_fed = 0;
};

// Feeds the demuxer what it wants of buf, which holds the input's bytes from pos on. False
// when it wants nothing more; *behind when it wants bytes before pos.
bool FeedFrom(Demuxer& d, const uint8_t* buf, size_t n, int64_t pos, bool* behind) {
    const int64_t end = pos + static_cast<int64_t>(n);
    for (;;) {
        const Want w = d.Next();
        if (w.size == 0) return false;
        if (w.offset < pos) {
            *behind = true;
            return true;
        }
        if (w.offset >= end) return true;
        const size_t avail = static_cast<size_t>(end - w.offset);
        d.Feed(buf + (w.offset - pos), std::min(w.size, avail));
    }
}

// Before the buffers everyByte may still read go, it is done with them.
struct Drain {
    const PumpRun& run;
    ~Drain() {
        if (run.drain) (*run.drain)();
    }
};

PumpResult Sequential(Input& in, const std::vector<uint8_t>& head, Demuxer& d, const PumpRun& run, int64_t* size,
                      int64_t* at) {
    const size_t piece = run.piece ? run.piece : PieceSize();
    int64_t pos = 0;
    bool wanted = true, behind = false;
    std::vector<std::vector<uint8_t>> bufs(run.lag + 1);
    const Drain drain{run};
    size_t turn = 0;
    // The probed head goes in pieces too, so that their size is the same everywhere.
    for (size_t off = 0; off < head.size(); off += piece) {
        const size_t n = std::min(piece, head.size() - off);
        if (run.everyByte) (*run.everyByte)(head.data() + off, n);
        if (wanted) wanted = FeedFrom(d, head.data() + off, n, pos, &behind);
        pos += static_cast<int64_t>(n);
        if (behind) break;
    }
    while (!behind && (wanted || run.everyByte)) {
        std::vector<uint8_t>& buf = bufs[turn++ % bufs.size()];
        buf.clear();
        const long got = in.Read(buf, piece);
        if (got < 0) return PumpResult::kReadError;
        if (got == 0) break;
        if (run.everyByte) (*run.everyByte)(buf.data(), buf.size());
        if (wanted) wanted = FeedFrom(d, buf.data(), buf.size(), pos, &behind);
        pos += got;
        if (run.progress) run.progress->Update(pos);
    }
    // The end of the input: a demuxer still reading is told, and may then want bytes the
    // pipe has passed.
    if (!behind && wanted) {
        const Want w = d.Next();
        if (w.size && w.offset >= pos) {
            d.End(pos);
            const Want after = d.Next();
            behind = after.size && after.offset < pos;
        }
    }
    if (behind) {
        *at = d.Next().offset;
        return PumpResult::kNeedsFile;
    }
    d.Finish();
    *size = in.Seekable() ? std::max(pos, in.Size()) : pos;
    return PumpResult::kOk;
}

PumpResult AtOffsets(Input& in, Demuxer& d, const PumpRun& run, int64_t* size) {
    const int64_t fileSize = in.Size();
    std::vector<uint8_t> buf(kMaxRead);
    int64_t bufPos = 0, ended = -1;
    size_t have = 0;
    for (;;) {
        const Want w = d.Next();
        if (w.size == 0 || w.offset < 0) break;
        if (w.offset >= fileSize) {
            // Told once where the file ends; a demuxer that asks past it again is done.
            if (w.offset == ended) break;
            ended = w.offset;
            d.End(fileSize);
            continue;
        }
        if (w.offset < bufPos || w.offset >= bufPos + static_cast<int64_t>(have)) {
            const size_t want = w.size == Want::kAny ? kAnyRead : std::min(std::max(w.size, kMinRead), kMaxRead);
            const long got = in.ReadUpTo(w.offset, buf.data(), want);
            if (got < 0) return PumpResult::kReadError;
            if (got == 0) break;  // the file shrank
            bufPos = w.offset;
            have = static_cast<size_t>(got);
            if (run.progress) run.progress->Update(w.offset);
        }
        const size_t skip = static_cast<size_t>(w.offset - bufPos);
        d.Feed(buf.data() + skip, std::min(w.size, have - skip));
    }
    d.Finish();
    *size = fileSize;
    if (run.everyByte) {
        // The digests read the whole file after the demuxer, in order.
        std::vector<std::vector<uint8_t>> pieces(run.lag + 1);
        const Drain drain{run};
        const size_t n = run.piece ? run.piece : PieceSize();
        for (int64_t pos = 0, turn = 0;; ++turn) {
            std::vector<uint8_t>& piece = pieces[static_cast<size_t>(turn) % pieces.size()];
            piece.resize(n);
            const long got = in.ReadUpTo(pos, piece.data(), n);
            if (got < 0) return PumpResult::kReadError;
            if (got == 0) break;
            (*run.everyByte)(piece.data(), static_cast<size_t>(got));
            pos += got;
        }
    }
    return PumpResult::kOk;
}

}  // namespace

PumpResult RunDemuxer(Input& in, const std::vector<uint8_t>& head, Demuxer& demux, const PumpRun& run,
                      int64_t* size, int64_t* at) {
    *size = 0;
    *at = -1;
    // A regular file is read at offsets by a demuxer that goes back (the digests then take
    // their own pass) and by one that skips, unless every byte is to be read anyway.
    // Everything else streams, digests alongside.
    if (in.Seekable()) demux.SetSize(in.Size());
    const Demuxer::Access access = demux.Reads();
    if (in.Seekable() && (access == Demuxer::Access::kAtOffsets ||
                          (access == Demuxer::Access::kSkipsForward && !run.everyByte)))
        return AtOffsets(in, demux, run, size);
    return Sequential(in, head, demux, run, size, at);
}

std::unique_ptr<Demuxer> MakeElementaryDemux(EsSink& sink) {
    return std::unique_ptr<Demuxer>(new ElementaryDemux(sink));
}

}  // namespace qvutil
