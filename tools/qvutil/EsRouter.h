#pragma once

// The streams of one input, each with what the container says of it and, for video this
// tool reads, its own analyser: a demuxer hands every stream's bytes or samples here (the
// EsSink side). Video streams are analysed, and streams the container does not describe
// (private data), whose bytes may turn out to be video; the rest are counted by their
// samples. At the end, with the demuxer's facts, it makes the one model that inspect prints.

#include "EsAnalyser.h"
#include "codec/AudioAnalyser.h"
#include "StreamModel.h"
#include "container/Demux.h"

#include <functional>
#include <memory>
#include <vector>

namespace qvutil {

Codec CodecOf(EsCodec c);

// Byte streams whose audio codec the container leaves open: private data, MPEG audio (layer
// 1, 2 or 3), and stream types it does not name. Their first bytes tell, as ffmpeg's probes
// tell them.
bool AudioByItsBytes(const StreamInfo& info, Container c);
constexpr size_t kAudioProbeHead = 8192;
// The PES time stamps of a video stream its rate is checked against.
constexpr size_t kRateStamps = 240;

class EsRouter : public EsSink {
public:
    // The container the streams come in: a program stream's ids are then reported as
    // ffprobe shows them, with their start code prefix (0x1e0).
    void SetContainer(Container c) { m_container = c; }

    bool OnStream(const StreamInfo& info) override;
    void OnData(int id, const uint8_t* p, size_t n, int64_t pts, int64_t dts) override;
    bool OnSample(int id, const Sample& s) override;
    int64_t OnSampleData(int id, const uint8_t* p, size_t n) override;
    void Finish();

    // Called with the stream's shown id (-1 for a bare stream) for each picture of each
    // stream, in each stream's order.
    void OnEachPicture(std::function<void(int id, const Picture&)> fn) { m_onPicture = std::move(fn); }
    // Called with the stream's shown id for the bytes of each audio stream as they come: a
    // framed container's samples with their pts, a byte stream's pieces with the pts of the
    // PES packet they belong to (kNoTime before the first), in the stream's time base.
    void OnEachAudioPacket(std::function<void(int id, int64_t pts, int64_t bytes)> fn) { m_onAudio = std::move(fn); }

    // The analysed video streams in the order they were announced: those whose codec is
    // known, and with withUnknown those announced as video whose bytes showed none.
    std::vector<const StreamModel*> Streams(bool withUnknown = false) const;

    // The codec of the first audio stream whose headers were read, "" when none was.
    std::string AudioCodec() const;

    // Every stream the demuxer announced, in its order, with the demuxer's final facts.
    MediaModel Model(const Demuxer& demux, const FormatInfo& format) const;

private:
    struct Entry {
        int id;
        StreamInfo info;
        std::unique_ptr<EsAnalyser> analyser;
        std::unique_ptr<AudioAnalyser> audio;
        SampleStats samples;
        // The first payload bytes of a stream whose audio codec is for them to tell.
        bool probe = false;
        std::vector<uint8_t> head;
        std::string probed;
        // PES time stamps (MPEG-TS, MPEG-PS): the first in file order, the latest, unwrapped.
        int64_t firstPts = kNoTime, maxPts = kNoTime;
        int64_t lastPts = kNoTime;  // of the PES packet the bytes belong to
        std::vector<int64_t> stamps;  // the first PES stamps of a video stream, for its rate
        int64_t anchor = kNoTime;  // the first stamp as it came, for unwrapping
    };
    Entry* Find(int id);
    void StartAudio(Entry& e, const std::string& codec);
    int Shown(int id) const;

    std::vector<Entry> m_streams;
    size_t m_last = 0;  // consecutive pieces mostly go to one stream
    Container m_container = Container::kElementary;
    // The first PES stamp of all, and what every stamp moves by for it.
    int64_t m_wrapFirst = kNoTime, m_wrapShift = 0;
    std::function<void(int, const Picture&)> m_onPicture;
    std::function<void(int, int64_t, int64_t)> m_onAudio;
};

}  // namespace qvutil
