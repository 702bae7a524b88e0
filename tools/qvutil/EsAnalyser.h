#pragma once

// One video elementary stream, fed in pieces of any size, turned into a StreamModel: the
// start codes are found with QvStartCode across the pieces, each unit's first bytes go to the
// parser of the stream's codec (decided from its first sequence-level start code unless a
// container names it), and the pictures it reports are counted into frames and GOPs.
// Streams that MP4 or Matroska frame come a sample at a time instead: length-prefixed NAL
// units go to the same parsers as the units between start codes, VP9 and AV1 frames to
// their frame parsers, and the analyser says which bytes of each sample it can do without.
// Memory stays bounded: a few bytes of each unit are kept, never the stream.

#include "StreamModel.h"
#include "codec/CodecParser.h"

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace qvutil {

class EsAnalyser : private PictureSink {
public:
    // codec: Unknown to decide it from the stream.
    explicit EsAnalyser(Codec codec = Codec::Unknown);
    ~EsAnalyser() override;
    EsAnalyser(const EsAnalyser&) = delete;
    EsAnalyser& operator=(const EsAnalyser&) = delete;

    // Called for each picture, in decoding order, once its size is known.
    void OnEachPicture(std::function<void(const Picture&)> fn) { m_onPicture = std::move(fn); }

    // The next bytes of the stream. pts, dts: the 90 kHz time stamps of the container packet
    // whose payload begins with these bytes (negative before a wrap), kNoTime when none does.
    void Feed(const uint8_t* p, size_t n, int64_t pts = kNoTime, int64_t dts = kNoTime);
    // The end of the stream: the last unit and picture are reported.
    void Finish();

    // Framed streams. Configure first, with what the container says of the stream: its NAL
    // length size and decoder configuration (avcC, hvcC, vpcC, av1C). Then each sample: Begin,
    // and while Wants(), its bytes in order through SampleData, which returns how many of the
    // sample's next bytes it does not need (the caller skips them).
    void Configure(const StreamInfo& info);
    void BeginSample(const Sample& s);
    bool Wants() const { return m_sampleLeft > 0; }
    int64_t SampleData(const uint8_t* p, size_t n);

    const StreamModel& Model() const { return m_model; }
    StreamModel& Model() { return m_model; }

private:
    void OnPicture(const Picture& pic) override;
    void StartCode(int64_t offset, uint8_t codeByte, const uint8_t* p);
    void Capture(const uint8_t* p, size_t upTo);
    void CloseUnit(int64_t end);
    void Dispatch(const Unit& u);
    void StartParser(Codec codec);
    uint8_t ByteBefore(int64_t offset, const uint8_t* p) const;
    void ConfigUnits(const uint8_t* p, size_t n, bool hevc);
    void NalUnit(const uint8_t* nal, size_t n);
    size_t NalBytes(const uint8_t* p, size_t n);
    void EndNal();
    void EndSample();

    StreamModel m_model;
    std::unique_ptr<CodecParser> m_parser;
    std::function<void(const Picture&)> m_onPicture;

    int64_t m_pos = 0;         // offset of the next byte fed
    uint8_t m_tail[3] = {};    // the last bytes that may still begin a start code
    int m_tailLen = 0;
    uint8_t m_history[4] = {};  // the last four bytes fed, oldest first
    int m_historyLen = 0;

    bool m_unitOpen = false;
    Unit m_unit;
    size_t m_want = 0;
    std::vector<uint8_t> m_buf;  // the open unit's first bytes
    size_t m_copyFrom = 0;       // bytes of the current piece before this index are taken care of

    // Units met before the codec is known, replayed to its parser once it is.
    struct Pending {
        Unit unit;
        std::vector<uint8_t> bytes;
    };
    std::deque<Pending> m_pending;
    Codec m_guess = Codec::Unknown;  // the codec the first sequence-level start code suggested
    size_t m_pendingBytes = 0;

    struct Stamp {
        int64_t offset, pts, dts;
    };
    std::deque<Stamp> m_pts;  // of the pieces that carried one

    int64_t m_framesInGop = -1;  // -1 before the first key frame
    int64_t m_bRun = 0;

    // Framed streams: the stream's offsets count the samples' bytes one after another.
    bool m_framed = false;
    int m_lengthSize = 0;  // of NAL unit lengths; 0: start codes, or frames
    std::unique_ptr<FrameParser> m_frameParser;
    struct Mark {
        int64_t offset;
        Sample sample;
    };
    std::deque<Mark> m_marks;   // samples whose first picture is still to come
    int64_t m_sampleStart = 0;  // offset in the stream of the sample being read
    int64_t m_samplePos = 0;    // and in the file
    int64_t m_sampleLeft = 0;   // its bytes not yet given or skipped
    int64_t m_sampleSize = 0;
    bool m_firstUnit = false;   // the next unit is the sample's first
    uint32_t m_length = 0;      // the NAL length being read, and how many of its bytes are in
    int m_lengthHave = 0;
    int64_t m_nalLeft = -1;     // bytes of the current NAL unit still to come; -1 between units
    int64_t m_nalSize = 0;
    int64_t m_nalOffset = 0;
    bool m_nalSent = false;
    uint64_t m_badLengths = 0;
};

}  // namespace qvutil
