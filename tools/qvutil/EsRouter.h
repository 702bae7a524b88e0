#pragma once

// The elementary streams of one input, each with its own analyser: a demuxer hands every
// stream's bytes here (the EsSink side), and a bare elementary stream is fed the same way as
// one stream without an id. Video streams are analysed, and streams the container does not
// describe (private data), whose bytes may turn out to be video; the rest are passed over.

#include "EsAnalyser.h"
#include "container/Demux.h"

#include <functional>
#include <memory>
#include <vector>

namespace qvutil {

Codec CodecOf(EsCodec c);

class EsRouter : public EsSink {
public:
    // A bare elementary stream: bytes fed with Feed.
    void AddElementary(Codec codec = Codec::Unknown);
    // The container the streams come in: a program stream's ids are then reported as
    // ffprobe shows them, with their start code prefix (0x1e0).
    void SetContainer(Container c) { m_idBase = c == Container::kMpegPs ? 0x100 : 0; }
    void Feed(const uint8_t* p, size_t n) { OnData(kElementaryId, p, n, -1); }

    void OnStream(const EsInfo& info) override;
    void OnData(int id, const uint8_t* p, size_t n, int64_t pts) override;
    void Finish();

    // Called with the stream's id for each picture of each stream, in each stream's order.
    void OnEachPicture(std::function<void(int id, const Picture&)> fn) { m_onPicture = std::move(fn); }

    // The video streams in the order they were announced; those that turned out to hold no
    // video this tool reads only with withUnknown, and then only if announced as video.
    std::vector<const StreamModel*> Streams(bool withUnknown = false) const;

    // Every stream announced, video or not.
    int Announced() const { return static_cast<int>(m_announced.size()); }

    static constexpr int kElementaryId = -1;

private:
    EsAnalyser* Find(int id);
    struct Entry {
        int id;
        bool video;  // announced as video; others count only once their bytes show a codec
        std::unique_ptr<EsAnalyser> analyser;
    };
    std::vector<Entry> m_streams;
    int m_last = -1;
    int m_idBase = 0;
    std::vector<int> m_announced;  // index of the stream fed last: consecutive pieces mostly go to one
    std::function<void(int, const Picture&)> m_onPicture;
};

}  // namespace qvutil
