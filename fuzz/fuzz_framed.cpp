// The VP9 and AV1 frame parsers. Input: a flags byte (codec, how much of each sample is
// given), a configuration record (a length byte, then its bytes), then samples (a two-byte
// length, then its bytes). Whatever the bytes, each sample is one picture at its offset, the
// facts stay within their syntax's ranges, and a header that reads from some bytes reads the
// same from any longer prefix of them, or fails for want of data.

#include "FuzzInput.h"
#include "codec/Av1Parser.h"
#include "codec/Vp9Parser.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace qvutil;

struct Check : PictureSink {
    std::vector<Picture> pictures;
    void OnPicture(const Picture& p) override {
        if (p.key && !p.output) qvfuzz::Fail("a key frame that is not shown");
        if (!std::strchr("IPS?", p.type)) qvfuzz::Fail("picture type", std::string(1, p.type).c_str());
        pictures.push_back(p);
    }
};

// A header read from the first n bytes is read the same from more of them; with fewer it is
// the same again or cut off.
template <class Header, class Parse, class Same>
void Prefixes(const uint8_t* p, size_t n, Parse parse, Same same) {
    Header whole, part;
    std::string error;
    if (!parse(p, n, whole, error)) return;
    for (size_t m = 0; m < n; m += 1 + m / 4)
        if (parse(p, m, part, error) ? !same(whole, part) : error.find("cut off") == std::string::npos)
            qvfuzz::Fail("a shorter prefix reads differently", error.c_str());
}

void Headers(bool av1, const uint8_t* p, size_t n) {
    if (!av1) {
        Prefixes<Vp9FrameHeader>(p, n, ParseVp9FrameHeader, [](const Vp9FrameHeader& a, const Vp9FrameHeader& b) {
            return a.key == b.key && a.width == b.width && a.refreshFlags == b.refreshFlags &&
                   a.showIndex == b.showIndex;
        });
        return;
    }
    Av1Obu obu;
    std::string error;
    if (!ParseAv1ObuHeader(p, n, n, obu, error)) return;
    const uint8_t* payload = p + obu.headerSize;
    const size_t size = static_cast<size_t>(obu.size);
    Prefixes<Av1SequenceHeader>(payload, size, ParseAv1SequenceHeader,
                                [](const Av1SequenceHeader& a, const Av1SequenceHeader& b) {
                                    return a.maxWidth == b.maxWidth && a.bitDepth == b.bitDepth &&
                                           a.operatingPoints == b.operatingPoints;
                                });
    // A frame header, read with a sequence header made from the same bytes where they hold one.
    Av1SequenceHeader seq;
    ParseAv1SequenceHeader(payload, size, seq, error);
    Av1RefSlot refs[8];
    for (int i = 0; i < 8; ++i) refs[i] = {i % 5 - 1, i * 37, 1 + i, 2 + i, 3, 4};
    Prefixes<Av1FrameHeader>(
        payload, size,
        [&](const uint8_t* q, size_t m, Av1FrameHeader& h, std::string& e) {
            return ParseAv1FrameHeader(q, m, seq, obu, refs, h, e);
        },
        [](const Av1FrameHeader& a, const Av1FrameHeader& b) {
            return a.frameType == b.frameType && a.refreshFlags == b.refreshFlags && a.width == b.width &&
                   a.height == b.height;
        });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const bool av1 = flags & 1;
    // How much of each sample the parser gets: all it wants, or a cap, and whether the sample
    // claims to be longer than what the input holds of it.
    const size_t cap = (flags >> 1) & 7 ? size_t{1} << ((flags >> 1) & 7) : 0;
    const int64_t claim = (flags & 0x10) ? 1000 : 0;
    size_t configSize = in.Byte();
    const uint8_t* config = in.Take(configSize);
    struct Sample {
        const uint8_t* p;
        size_t n;
    };
    std::vector<Sample> samples;
    while (!in.Empty() && samples.size() < 64) {
        size_t n = static_cast<size_t>(in.Byte()) << 8;
        n |= in.Byte();
        samples.push_back({in.Take(n), n});
    }
    for (const Sample& s : samples) Headers(av1, s.p, s.n);
    Headers(av1, config, configSize);

    StreamModel model;
    model.codec = av1 ? Codec::Av1 : Codec::Vp9;
    Check check;
    std::unique_ptr<FrameParser> parser = MakeFrameParser(model.codec, model, check);
    parser->OnConfig(config, configSize);
    int64_t offset = 0;
    for (const Sample& s : samples) {
        Frame f;
        f.offset = offset;
        f.data = s.p;
        f.size = static_cast<int64_t>(s.n) + claim;
        f.have = std::min(s.n, parser->Want());
        if (cap) f.have = std::min(f.have, cap);
        parser->OnFrame(f);
        if (check.pictures.empty() || check.pictures.back().offset != offset || check.pictures.back().size != f.size)
            qvfuzz::Fail("the sample is not one picture at its offset");
        offset += f.size;
    }
    parser->Finish();
    if (check.pictures.size() != samples.size()) qvfuzz::Fail("pictures and samples differ in number");
    const SequenceFacts& s = model.seq;
    if (s.present) {
        if (s.bitDepthLuma != 8 && s.bitDepthLuma != 10 && s.bitDepthLuma != 12) qvfuzz::Fail("bit depth");
        if (s.chromaFormat < 0 || s.chromaFormat > 4) qvfuzz::Fail("chroma format");
        if (s.width < 1 || s.width > 65536 || s.height < 1 || s.height > 65536) qvfuzz::Fail("size");
        if (s.codedWidth < 1 || s.codedWidth > 65536 || s.codedHeight < 1 || s.codedHeight > 65536)
            qvfuzz::Fail("coded size");
        if (s.level < -99 || s.level > 31 || s.profileIdc < 0 || s.profileIdc > 3) qvfuzz::Fail("profile or level");
        if (s.chromaLocation < 0 || s.chromaLocation > 3 || s.colourRange < 0 || s.colourRange > 1)
            qvfuzz::Fail("colour");
        if (model.PixFmt().empty()) qvfuzz::Fail("no pixel format");
    }
    // Each change of format comes with a frame: at most 8 in a VP9 sample, one per frame OBU in AV1.
    size_t frames = 0;
    for (const Sample& x : samples) {
        std::string error;
        Vp9Superframe sf;
        Av1Obu o;
        if (!av1 && ParseVp9Superframe(x.p, x.n, sf, error)) frames += static_cast<size_t>(sf.count);
        const uint64_t left = x.n + static_cast<uint64_t>(claim);
        for (size_t at = 0; av1 && at < x.n && ParseAv1ObuHeader(x.p + at, x.n - at, left - at, o, error);
             at += o.headerSize + static_cast<size_t>(o.size))
            frames += o.type == 3 || o.type == 6;
    }
    if (static_cast<size_t>(model.sequenceChanges) > frames + (av1 ? 0 : samples.size()))
        qvfuzz::Fail("more format changes than frames");
    return 0;
}
