#pragma once

// What the stream fuzz targets share: the input is an elementary stream of one codec. It is
// analysed whole and again in pieces whose sizes come from a hash of the input; the two
// reports must be the same, the start codes those of a plain walk, and the pictures must tile
// the stream from its first byte to its last.

#include "EsAnalyser.h"
#include "FuzzInput.h"
#include "Report.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace qvfuzz {

inline int FuzzStream(qvutil::Codec codec, const uint8_t* data, size_t size) {
    using namespace qvutil;
    struct Run {
        std::string facts;
        uint64_t pictures = 1469598103934665603ull;  // FNV-1a over what each picture says
        int64_t next = 0;  // where the next picture must begin
        bool tiled = true;
    };
    auto mix = [](uint64_t& h, int64_t v) {
        for (int i = 0; i < 8; ++i) h = (h ^ static_cast<uint8_t>(v >> (8 * i))) * 1099511628211ull;
    };
    auto analyse = [&](size_t seed, Run& run) {
        EsAnalyser a(codec);
        a.OnEachPicture([&run, &mix](const Picture& p) {
            if (p.offset != run.next || p.size < 0) run.tiled = false;
            run.next = p.offset + p.size;
            for (int64_t v : {p.offset, p.size, int64_t{p.type}, int64_t{p.key}, int64_t{p.structure},
                              int64_t{p.secondField}, int64_t{p.output}, int64_t{p.closedGop}})
                mix(run.pictures, v);
        });
        uint32_t h = static_cast<uint32_t>(seed);
        for (size_t at = 0; at < size;) {
            h = h * 1103515245u + 12345u;
            size_t n = seed ? 1 + (h >> 16) % 64 : size;
            if (n > size - at) n = size - at;
            a.Feed(data + at, n);
            at += n;
        }
        a.Finish();
        const StreamModel& m = a.Model();
        if (m.pictures && run.next != static_cast<int64_t>(size)) run.tiled = false;
        if (m.frames > m.pictures || m.outputFrames > m.pictures || m.keyFrames > m.frames ||
            m.typeCount[0] + m.typeCount[1] + m.typeCount[2] + m.typeCount[3] != m.frames ||
            m.gop.count != m.keyFrames)
            Fail("inconsistent picture counts");
        uint64_t walk = 0;
        for (size_t i = 0; i + 4 <= size;)
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) ++walk, i += 4;
            else ++i;
        if (walk != m.startCodes) Fail("start codes differ from a plain walk");
        const SequenceFacts& s = m.seq;
        char buf[512];
        std::snprintf(buf, sizeof buf,
                      "%d %s %s %d %d %d %d %d %d %d %d %d %" PRId64 "/%" PRId64 " %" PRId64 ":%" PRId64
                      " %d %d %d %d %d %d %d %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64
                      " %" PRId64 " %" PRId64 " %d %s %d %d %d %zu %" PRIu64,
                      s.present, s.profileText.c_str(), s.levelText.c_str(), s.width, s.height, s.codedWidth,
                      s.codedHeight, s.chromaFormat, s.bitDepthLuma, s.bitDepthChroma, s.refs, s.hasBFrames,
                      s.frameRate.num, s.frameRate.den, s.sar.num, s.sar.den, s.colourRange, s.colourPrimaries,
                      s.transfer, s.matrix, s.chromaLocation, m.sequenceChanges, static_cast<int>(m.codec), m.pictures,
                      m.frames, m.fields, m.outputFrames, m.keyFrames, m.gop.maxFrames, m.gop.open, m.leadingUnits,
                      m.mastering.present, m.fieldOrder.c_str(), m.contentLight.maxContent, m.alternativeTransfer,
                      static_cast<int>(m.diagnostics.size() + m.diagnosticsDropped), m.diagnostics.empty() ? 0 : m.diagnostics[0].size(),
                      run.pictures);
        run.facts = buf;
        // The writers too, now and then: they print whatever the parsers left in the model.
        if (seed == 0 && size % 16 == 0) {
            FormatInfo f;
            if (JsonReport(ElementaryModel(f, m)).empty() || TextReport(ElementaryModel(f, m)).empty())
                Fail("empty report");
        }
    };
    Run whole, pieces;
    analyse(0, whole);
    analyse(size + 1, pieces);
    if (!whole.tiled || !pieces.tiled) Fail("pictures do not tile the stream");
    if (whole.facts != pieces.facts) Fail("the report depends on the pieces", (whole.facts + " | " + pieces.facts).c_str());
    return 0;
}

}  // namespace qvfuzz
