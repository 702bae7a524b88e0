#include "AudioProbe.h"

namespace qvutil {

namespace {

// The length of the MPEG audio frame whose header is at p (4 bytes), 0 when it is none.
// layer: 1, 2 or 3.
size_t MpegFrame(const uint8_t* p, int* layer) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
    const int version = (p[1] >> 3) & 3;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    const int l = 4 - ((p[1] >> 1) & 3);
    const int rateIndex = p[2] >> 4, srIndex = (p[2] >> 2) & 3, pad = (p[2] >> 1) & 1;
    if (version == 1 || l == 4 || rateIndex == 0 || rateIndex == 15 || srIndex == 3) return 0;
    static const int kRates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
    };
    static const int kSampleRates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int bitrate = kRates[mpeg1 ? 0 : 1][l - 1][rateIndex] * 1000;
    const int rate = kSampleRates[srIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    *layer = l;
    if (l == 1) return static_cast<size_t>((12 * bitrate / rate + pad) * 4);
    return static_cast<size_t>((l == 3 && !mpeg1 ? 72 : 144) * bitrate / rate + pad);
}

}  // namespace

std::string ProbeAudio(const uint8_t* p, size_t n) {
    // A few bytes of junk may come first; the frames then follow one another.
    for (size_t at = 0; at + 8 <= n && at < 64; ++at) {
        const uint8_t* q = p + at;
        int layer = 0;
        const size_t len = MpegFrame(q, &layer);
        if (len >= 8) {
            int next = 0;
            if (at + len + 4 <= n && MpegFrame(q + len, &next) && next == layer)
                return layer == 1 ? "mp1" : layer == 2 ? "mp2" : "mp3";
        }
        // ADTS: the MPEG audio sync with layer 0, a valid sampling index, a frame length
        // that holds its header.
        if (q[0] == 0xFF && (q[1] & 0xF6) == 0xF0 && ((q[2] >> 2) & 15) < 13) {
            const size_t frame = (static_cast<size_t>(q[3] & 3) << 11) | static_cast<size_t>(q[4]) << 3 | q[5] >> 5;
            if (frame >= 7 && (at + frame + 2 > n || (q[frame] == 0xFF && (q[frame + 1] & 0xF6) == 0xF0))) return "aac";
        }
        // AC-3 and E-AC-3: the sync word, then bsid tells them apart.
        if (q[0] == 0x0B && q[1] == 0x77) {
            const int bsid = q[5] >> 3;
            if (bsid <= 10 && (q[4] >> 6) != 3 && (q[4] & 0x3F) < 38) return "ac3";
            if (bsid > 10 && bsid <= 16) return "eac3";
        }
        if (q[0] == 0x7F && q[1] == 0xFE && q[2] == 0x80 && q[3] == 0x01) return "dts";
    }
    return std::string();
}

}  // namespace qvutil
