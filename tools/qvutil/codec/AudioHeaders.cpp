#include "AudioHeaders.h"

#include "Rbsp.h"

#include <cstdlib>
#include <cstring>

namespace qvutil {

namespace {

const int kAacRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                           22050, 16000, 12000, 11025, 8000,  7350};

// The AAC decoder's layouts of channel_configuration 1..7.
// The AAC decoder's layouts of channel_configuration 1..7 (7 read as ffmpeg 5 reads it,
// as the 7.1 that encoders mean by it).
const uint64_t kAacLayouts[8] = {0,
                                 ch::kMono,
                                 ch::kStereo,
                                 ch::kSurround,
                                 ch::kSurround | ch::BC,
                                 ch::k5Point0Back,
                                 ch::k5Point1Back,
                                 ch::k5Point1 | ch::BL | ch::BR};

// The Vorbis channel order by channel count, which Opus shares.
const uint64_t kVorbisLayouts[9] = {0,
                                    ch::kMono,
                                    ch::kStereo,
                                    ch::kSurround,
                                    ch::kStereo | ch::BL | ch::BR,
                                    ch::k5Point0Back,
                                    ch::k5Point1Back,
                                    ch::k5Point0 | ch::BC | ch::LFE,
                                    ch::k5Point1 | ch::BL | ch::BR};

int Popcount(uint64_t m) {
    int n = 0;
    for (; m; m &= m - 1)
        ++n;
    return n;
}

void SetLayout(AudioFacts* f, uint64_t mask) {
    f->layout = mask;
    f->channels = Popcount(mask);
}

// ffmpeg's profile names of the AAC object types it names.
const char* AacProfile(int aot) {
    switch (aot) {
    case 1:
        return "Main";
    case 2:
        return "LC";
    case 3:
        return "SSR";
    case 4:
        return "LTP";
    case 5:
        return "HE-AAC";
    case 29:
        return "HE-AACv2";
    case 23:
        return "LD";
    case 39:
        return "ELD";
    default:
        return "";
    }
}

uint32_t ObjectType(BitReader& r) {
    uint32_t aot = r.U(5, "audioObjectType");
    if (aot == 31) aot = 32 + r.U(6, "audioObjectTypeExt");
    return aot;
}

int Frequency(BitReader& r) {
    const uint32_t index = r.U(4, "samplingFrequencyIndex");
    if (index == 15) return static_cast<int>(r.U(24, "samplingFrequency"));
    return kAacRates[index];
}

// A program_config_element: the channels it places, counted as the decoder counts them
// (a channel pair element counts two). Its layout is left unnamed.
int PceChannels(BitReader& r) {
    r.Skip(4 + 2 + 4, "element_instance_tag, object_type, sampling_frequency_index");
    const uint32_t front = r.U(4), side = r.U(4), back = r.U(4), lfe = r.U(2), assoc = r.U(3),
                   cc = r.U(4);
    if (r.Flag()) r.Skip(4, "mono_mixdown");
    if (r.Flag()) r.Skip(4, "stereo_mixdown");
    if (r.Flag()) r.Skip(3, "matrix_mixdown");
    int channels = 0;
    for (uint32_t i = 0; i < front + side + back; ++i)
        channels += r.Flag() ? 2 : 1, r.Skip(4);
    channels += static_cast<int>(lfe);
    r.Skip(4 * lfe + 4 * assoc + 5 * cc, "lfe, assoc_data, cc elements");
    // byte_alignment() from the configuration's start, then the comment.
    r.Skip((8 - r.BitPos() % 8) % 8, "byte_alignment");
    r.Skip(8 * int64_t{r.U(8, "comment_field_bytes")}, "comment_field_data");
    return r.Ok() ? channels : 0;
}

void ApplyAac(AudioFacts* f, int aot, int rate, int config, bool sbr, bool ps, int extRate,
              bool shortFrames) {
    f->present = true;
    f->codecName = "aac";
    f->sampleFmt = "fltp";
    f->channels = 0, f->layout = 0;
    f->profile = AacProfile(ps ? 29 : sbr ? 5 : aot);
    f->sampleRate = sbr && extRate > 0 ? extRate : rate;
    f->frameSamples = (shortFrames ? 960 : 1024) * (sbr ? 2 : 1);
    if (config >= 1 && config <= 7) SetLayout(f, kAacLayouts[config]);
    // Parametric stereo makes two channels of one.
    if (ps && f->channels == 1) SetLayout(f, ch::kStereo);
}

bool ReadAsc(BitReader& r, AudioFacts* f) {
    uint32_t aot = ObjectType(r);
    const int rate = Frequency(r);
    const int config = static_cast<int>(r.U(4, "channelConfiguration"));
    bool sbr = false, ps = false;
    int extRate = 0;
    if (aot == 5 || aot == 29) {
        sbr = true;
        ps = aot == 29;
        extRate = Frequency(r);
        aot = ObjectType(r);
    }
    if (!r.Ok() || rate <= 0 || aot == 0) return false;
    int pceChannels = 0;
    bool shortFrames = false;
    const bool ga = aot == 1 || aot == 2 || aot == 3 || aot == 4 || aot == 6 || aot == 7 ||
                    (aot >= 17 && aot <= 23);
    if (ga) {
        shortFrames = r.Flag("frameLengthFlag");
        if (r.Flag("dependsOnCoreCoder")) r.Skip(14, "coreCoderDelay");
        const bool extension = r.Flag("extensionFlag");
        if (config == 0) pceChannels = PceChannels(r);
        if (aot == 6 || aot == 20) r.Skip(3, "layerNr");
        if (extension) {
            if (aot == 22) r.Skip(16, "numOfSubFrame, layer_length");
            if (aot == 17 || aot == 19 || aot == 20 || aot == 23) r.Skip(3, "resilience flags");
            r.Skip(1, "extensionFlag3");
        }
    }
    // Backward-compatible signalling of SBR and PS after the core's config.
    if (!sbr && r.Ok() && r.BitsLeft() >= 16) {
        BitReader probe = r;
        if (probe.U(11) == 0x2B7) {
            const uint32_t ext = ObjectType(probe);
            if (ext == 5 && probe.Flag("sbrPresentFlag")) {
                sbr = true;
                extRate = Frequency(probe);
                if (probe.Ok() && probe.BitsLeft() >= 12 && probe.U(11) == 0x548)
                    ps = probe.Flag("psPresentFlag");
                if (!probe.Ok()) sbr = ps = false, extRate = 0;
            }
        }
    }
    if (!r.Ok()) return false;
    ApplyAac(f, static_cast<int>(aot), rate, config, sbr, ps, extRate, shortFrames);
    if (config == 0 && pceChannels > 0) f->channels = pceChannels, f->layout = 0;
    if (!ga && aot != 39) f->frameSamples = 0;
    return true;
}

const int kMpegBitRates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};

// AC-3's frame sizes in 16-bit words by frmsizecod / 2 at 48, 44.1 and 32 kHz; 44.1 kHz
// adds one word on odd codes.
const int kAc3Rates[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                           192, 224, 256, 320, 384, 448, 512, 576, 640};

// acmod's channels in the decoder's order, without the LFE.
const uint64_t kAc3Layouts[8] = {ch::kStereo,
                                 ch::kMono,
                                 ch::kStereo,
                                 ch::kSurround,
                                 ch::kStereo | ch::BC,
                                 ch::kSurround | ch::BC,
                                 ch::kStereo | ch::SL | ch::SR,
                                 ch::k5Point0};

// E-AC-3 chanmap bits, most significant first, and the channels each adds.
const uint64_t kEac3ChanMap[16] = {ch::FL,
                                   ch::FC,
                                   ch::FR,
                                   ch::SL,
                                   ch::SR,
                                   ch::FLC | ch::FRC,
                                   ch::BL | ch::BR,
                                   ch::BC,
                                   0x800 /* TC */,
                                   0x200000000ULL | 0x400000000ULL /* SDL, SDR */,
                                   0x80000000ULL | 0x100000000ULL /* WL, WR */,
                                   0x1000 | 0x4000 /* TFL, TFR */,
                                   0x2000 /* TFC */,
                                   0x8000 | 0x20000 /* TBL, TBR */,
                                   0x800000000ULL /* LFE2 */,
                                   ch::LFE};

void Ac3Channels(AudioFacts* f, int acmod, bool lfe) {
    SetLayout(f, kAc3Layouts[acmod] | (lfe ? ch::LFE : 0));
}

}  // namespace

std::string LayoutName(uint64_t mask, int channels) {
    static const struct {
        uint64_t mask;
        const char* name;
    } kNamed[] = {
        {0x4, "mono"},
        {0x3, "stereo"},
        {0xB, "2.1"},
        {0x7, "3.0"},
        {0x103, "3.0(back)"},
        {0x107, "4.0"},
        {0x33, "quad"},
        {0x603, "quad(side)"},
        {0xF, "3.1"},
        {0x37, "5.0"},
        {0x607, "5.0(side)"},
        {0x10F, "4.1"},
        {0x3F, "5.1"},
        {0x60F, "5.1(side)"},
        {0x707, "6.0"},
        {0x6C3, "6.0(front)"},
        {0x137, "hexagonal"},
        {0x70F, "6.1"},
        {0x13F, "6.1(back)"},
        {0x6CB, "6.1(front)"},
        {0x637, "7.0"},
        {0x6C7, "7.0(front)"},
        {0x63F, "7.1"},
        {0xFF, "7.1(wide)"},
        {0x6CF, "7.1(wide-side)"},
        {0x737, "octagonal"},
    };
    if (mask == 0) return channels > 0 ? std::to_string(channels) + " channels" : std::string();
    for (const auto& n : kNamed)
        if (n.mask == mask) return n.name;
    static const char* const kNames[] = {
        "FL",  "FR",  "FC",  "LFE", "BL",  "BR",  "FLC", "FRC", "BC", "SL",  "SR",  "TC",
        "TFL", "TFC", "TFR", "TBL", "TBC", "TBR", "",    "",    "",   "",    "",    "",
        "",    "",    "",    "",    "",    "DL",  "DR",  "WL",  "WR", "SDL", "SDR", "LFE2"};
    std::string text = std::to_string(Popcount(mask)) + " channels (";
    bool first = true;
    for (int b = 0; b < 64; ++b) {
        if (!(mask >> b & 1)) continue;
        text += first ? "" : "+";
        first = false;
        text += b < 36 && *kNames[b] ? kNames[b] : "USR" + std::to_string(b);
    }
    return text + ")";
}

std::string AudioFacts::Layout() const {
    return LayoutName(layout, channels);
}

bool ParseAudioSpecificConfig(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 2) return false;
    BitReader r(p, n);
    AudioFacts out;
    if (!ReadAsc(r, &out)) return false;
    *f = out;
    return true;
}

int64_t ParseAdts(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 7) return -1;
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return 0;
    BitReader r(p, 7);
    r.Skip(12 + 1 + 2, "syncword, ID, layer");
    r.Skip(1, "protection_absent");
    const int aot = static_cast<int>(r.U(2, "profile")) + 1;
    const uint32_t sfi = r.U(4, "sampling_frequency_index");
    r.Skip(1, "private_bit");
    const int config = static_cast<int>(r.U(3, "channel_configuration"));
    r.Skip(4, "original/copy, home, copyright bits");
    const int64_t length = r.U(13, "aac_frame_length");
    r.Skip(11, "adts_buffer_fullness");
    const int blocks = static_cast<int>(r.U(2, "number_of_raw_data_blocks_in_frame")) + 1;
    if (sfi >= 13 || length < 7) return 0;
    ApplyAac(f, aot, kAacRates[sfi], config, false, false, 0, false);
    f->frameSamples = 1024 * blocks;
    f->bitRate = length * 8 * kAacRates[sfi] / f->frameSamples;
    f->detail.clear();
    return length;
}

int64_t ParseMpegAudio(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 4) return -1;
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
    BitReader r(p, 4);
    r.Skip(11, "syncword");
    const int version = static_cast<int>(r.U(2, "version"));  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    const int layer = 4 - static_cast<int>(r.U(2, "layer"));
    r.Skip(1, "protection_bit");
    const int rateIndex = static_cast<int>(r.U(4, "bitrate_index"));
    const int srIndex = static_cast<int>(r.U(2, "sampling_frequency"));
    const int pad = static_cast<int>(r.U(1, "padding_bit"));
    r.Skip(1, "private_bit");
    const int mode = static_cast<int>(r.U(2, "mode"));
    if (version == 1 || layer == 4 || rateIndex == 15 || srIndex == 3) return 0;
    static const int kRates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int rate = kRates[srIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int64_t bitRate = int64_t{kMpegBitRates[mpeg1 ? 0 : 1][layer - 1][rateIndex]} * 1000;
    f->present = true;
    f->codecName = layer == 1 ? "mp1" : layer == 2 ? "mp2" : "mp3";
    f->profile.clear();
    f->sampleFmt = layer == 3 ? "fltp" : "s16p";
    f->sampleRate = rate;
    SetLayout(f, mode == 3 ? ch::kMono : ch::kStereo);
    f->bitRate = bitRate;
    f->frameSamples = layer == 1 ? 384 : layer == 2 || mpeg1 ? 1152 : 576;
    f->detail = mpeg1 ? "MPEG-1" : version == 2 ? "MPEG-2" : "MPEG-2.5";
    // Free format: the caller finds the length from the next header.
    if (rateIndex == 0) return -2;
    if (layer == 1) return (12 * bitRate / rate + pad) * 4;
    return (layer == 3 && !mpeg1 ? 72 : 144) * bitRate / rate + pad;
}

int64_t ParseAc3(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 8) return -1;
    if (p[0] != 0x0B || p[1] != 0x77) return 0;
    const int bsid = p[5] >> 3;
    if (bsid > 16) return 0;
    if (bsid <= 10) {
        if (n < 8) return -1;
        BitReader r(p + 2, n - 2 < 8 ? n - 2 : 8);
        r.Skip(16, "crc1");
        const int fscod = static_cast<int>(r.U(2, "fscod"));
        const int frmsizecod = static_cast<int>(r.U(6, "frmsizecod"));
        r.Skip(5, "bsid");
        const int bsmod = static_cast<int>(r.U(3, "bsmod"));
        const int acmod = static_cast<int>(r.U(3, "acmod"));
        if (fscod == 3 || frmsizecod >= 38) return 0;
        if ((acmod & 1) && acmod != 1) r.Skip(2, "cmixlev");
        if (acmod & 4) r.Skip(2, "surmixlev");
        if (acmod == 2) r.Skip(2, "dsurmod");
        const bool lfe = r.Flag("lfeon");
        const int dialnorm = static_cast<int>(r.U(5, "dialnorm"));
        if (!r.Ok()) return -1;
        static const int kRates[3] = {48000, 44100, 32000};
        const int shift = bsid > 8 ? bsid - 8 : 0;
        const int kbps = kAc3Rates[frmsizecod >> 1];
        const int64_t words = fscod == 0   ? 2 * kbps
                              : fscod == 2 ? 3 * kbps
                                           : 320 * kbps / 147 + (frmsizecod & 1);
        f->present = true;
        f->codecName = "ac3";
        f->profile.clear();
        f->sampleFmt = "fltp";
        f->sampleRate = kRates[fscod] >> shift;
        f->bitRate = int64_t{kbps} * 1000 >> shift;
        f->frameSamples = 1536;
        Ac3Channels(f, acmod, lfe);
        f->detail = "bsid " + std::to_string(bsid) + ", bsmod " + std::to_string(bsmod) +
                    ", dialnorm -" + std::to_string(dialnorm ? dialnorm : 31) + " dB";
        return words * 2;
    }
    // E-AC-3.
    BitReader r(p + 2, n - 2 < 30 ? n - 2 : 30);
    const int strmtyp = static_cast<int>(r.U(2, "strmtyp"));
    const int substreamid = static_cast<int>(r.U(3, "substreamid"));
    const int64_t words = r.U(11, "frmsiz") + 1;
    const int fscod = static_cast<int>(r.U(2, "fscod"));
    int rate = 0, blocks = 6;
    static const int kRates[3] = {48000, 44100, 32000};
    static const int kBlocks[4] = {1, 2, 3, 6};
    if (fscod == 3) {
        const int fscod2 = static_cast<int>(r.U(2, "fscod2"));
        if (fscod2 == 3) return 0;
        rate = kRates[fscod2] / 2;
    } else {
        rate = kRates[fscod];
        blocks = kBlocks[r.U(2, "numblkscod")];
    }
    const int acmod = static_cast<int>(r.U(3, "acmod"));
    const bool lfe = r.Flag("lfeon");
    r.Skip(5, "bsid");
    const int dialnorm = static_cast<int>(r.U(5, "dialnorm"));
    if (r.Flag("compre")) r.Skip(8, "compr");
    if (acmod == 0) {
        r.Skip(5, "dialnorm2");
        if (r.Flag("compr2e")) r.Skip(8, "compr2");
    }
    uint64_t chanmap = 0;
    if (strmtyp == 1 && r.Flag("chanmape")) chanmap = r.U(16, "chanmap");
    if (!r.Ok()) return -1;
    if (strmtyp == 3 || words * 2 < 8) return 0;
    f->present = true;
    f->codecName = "eac3";
    f->profile.clear();
    f->sampleFmt = "fltp";
    f->sampleRate = rate;
    f->frameSamples = 256 * blocks;
    f->bitRate = 8 * words * 2 * rate / f->frameSamples;
    Ac3Channels(f, acmod, lfe);
    if (chanmap) {
        // A dependent substream's channels, named by its map.
        uint64_t mask = 0;
        for (int b = 0; b < 16; ++b)
            if (chanmap >> (15 - b) & 1) mask |= kEac3ChanMap[b];
        SetLayout(f, mask);
    }
    f->dependent = strmtyp == 1;
    f->substream = substreamid;
    f->detail = std::string(strmtyp == 1 ? "dependent" : "independent") + " substream " +
                std::to_string(substreamid) + ", dialnorm -" +
                std::to_string(dialnorm ? dialnorm : 31) + " dB";
    return words * 2;
}

int64_t ParseDtsSubstream(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 16) return -1;
    if (!(p[0] == 0x64 && p[1] == 0x58 && p[2] == 0x20 && p[3] == 0x25)) return 0;
    BitReader r(p + 4, n - 4);
    r.Skip(8, "UserDefinedBits");
    r.Skip(2, "nExtSSIndex");
    const bool blownUp = r.Flag("bHeaderSizeType");
    const int headerBits = blownUp ? 12 : 8, sizeBits = blownUp ? 20 : 16;
    const int64_t header = r.U(headerBits, "nuExtSSHeaderSize") + 1;
    const int64_t size = r.U(sizeBits, "nuExtSSFsize") + 1;
    if (!r.Ok() || size < header || header < 8) return 0;
    // What the substream carries tells DTS-HD's kinds apart: a lossless extension (XLL),
    // a low bit-rate one (LBR, DTS Express), or high resolution (XBR, X96, XXCH).
    std::string profile = "DTS-HD HRA";
    const uint8_t* end = p + (static_cast<size_t>(size) < n ? static_cast<size_t>(size) : n);
    for (const uint8_t* q = p + header; q + 4 <= end; ++q) {
        const uint32_t w = static_cast<uint32_t>(q[0]) << 24 | q[1] << 16 | q[2] << 8 | q[3];
        if (w == 0x41A29547) {
            profile = "DTS-HD MA";
            break;
        }
        if (w == 0x0A801921) {
            profile = "DTS Express";
            break;
        }
    }
    f->profile = profile;
    f->dependent = true;
    return size;
}

int64_t ParseDts(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 16) return -1;
    if (p[0] == 0x64 && p[1] == 0x58 && p[2] == 0x20 && p[3] == 0x25) {
        const int64_t size = ParseDtsSubstream(p, n, f);
        if (size > 0) f->present = true, f->codecName = "dts", f->sampleFmt = "fltp";
        return size;
    }
    if (!(p[0] == 0x7F && p[1] == 0xFE && p[2] == 0x80 && p[3] == 0x01)) return 0;
    BitReader r(p + 4, 12);
    r.Skip(1 + 5 + 1, "FTYPE, SHORT, CPF");
    const int blocks = static_cast<int>(r.U(7, "NBLKS")) + 1;
    const int64_t size = r.U(14, "FSIZE") + 1;
    const int amode = static_cast<int>(r.U(6, "AMODE"));
    const int sfreq = static_cast<int>(r.U(4, "SFREQ"));
    const int rate = static_cast<int>(r.U(5, "RATE"));
    r.Skip(1 + 1 + 1 + 1 + 1, "FixedBit, DYNF, TIMEF, AUXF, HDCD");
    const int extId = static_cast<int>(r.U(3, "EXT_AUDIO_ID"));
    const bool ext = r.Flag("EXT_AUDIO");
    r.Skip(1, "ASPF");
    const int lff = static_cast<int>(r.U(2, "LFF"));
    static const int kRates[16] = {0,     8000, 16000, 32000, 0,     0,     11025, 22050,
                                   44100, 0,    0,     12000, 24000, 48000, 0,     0};
    static const int kKbps[29] = {32,   56,   64,   96,   112,  128,  192,  224,  256,  320,
                                  384,  448,  512,  576,  640,  768,  896,  1024, 1152, 1280,
                                  1344, 1408, 1411, 1472, 1536, 1920, 2048, 3072, 3840};
    if (!r.Ok() || size < 96 || blocks < 6 || kRates[sfreq] == 0 || amode > 15 || lff == 3)
        return 0;
    // The core's speaker layouts, as the decoder maps them.
    static const uint64_t kLayouts[16] = {ch::kMono,
                                          ch::kStereo,
                                          ch::kStereo,
                                          ch::kStereo,
                                          ch::kStereo,
                                          ch::kSurround,
                                          ch::kStereo | ch::BC,
                                          ch::kSurround | ch::BC,
                                          ch::kStereo | ch::SL | ch::SR,
                                          ch::k5Point0,
                                          0,
                                          0,
                                          0,
                                          0,
                                          0,
                                          0};
    f->present = true;
    f->codecName = "dts";
    f->sampleFmt = "fltp";
    f->sampleRate = kRates[sfreq];
    f->bitRate = rate < 29 ? (rate == 22 ? 1411200 : int64_t{kKbps[rate]} * 1000) : 0;
    f->frameSamples = blocks * 32;
    if (kLayouts[amode])
        SetLayout(f, kLayouts[amode] | (lff ? ch::LFE : 0));
    else
        f->channels = 0, f->layout = 0;
    f->profile = "DTS";
    f->dependent = false;
    if (ext && (extId == 0 || extId == 6))
        f->profile = "DTS-ES";
    else if (ext && extId == 2)
        f->profile = "DTS 96/24";
    f->detail.clear();
    return size;
}

int64_t ParseMlp(const uint8_t* p, size_t n, AudioFacts* f, bool* majorSync) {
    *majorSync = false;
    if (n < 4) return -1;
    const int64_t length = (int64_t{p[0] & 0x0F} << 8 | p[1]) * 2;
    if (length < 4) return 0;
    // Whether a major sync follows, and then its whole header, decide.
    if (n < 8) return -1;
    const uint32_t sync = static_cast<uint32_t>(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7];
    if (sync != 0xF8726FBA && sync != 0xF8726FBB) return length;
    if (n < 28) return -1;
    if (!(p[12] == 0xB7 && p[13] == 0x52)) return 0;
    BitReader r(p + 8, 20);
    static const int kRates[16] = {48000, 96000, 192000, 0, 0, 0, 0, 0,
                                   44100, 88200, 176400, 0, 0, 0, 0, 0};
    int rate = 0, channels = 0;
    uint64_t layout = 0;
    if (sync == 0xF8726FBA) {
        rate = kRates[r.U(4, "audio_sampling_frequency")];
        r.Skip(1 + 1 + 2 + 2, "multichannel types, reserved, 2ch modifier");
        const uint32_t mod6 = r.U(2, "6ch_presentation_channel_modifier");
        const uint32_t assign6 = r.U(5, "6ch_presentation_channel_assignment");
        r.Skip(2, "8ch_presentation_channel_modifier");
        const uint32_t assign8 = r.U(13, "8ch_presentation_channel_assignment");
        (void)mod6;
        // TrueHD's speaker groups: L/R, C, LFE, Ls/Rs, Tfl/Tfr, Tfc, Tc, Lrs/Rrs, Lw/Rw, ...
        static const uint64_t kGroups[13] = {ch::kStereo,
                                             ch::FC,
                                             ch::LFE,
                                             ch::SL | ch::SR,
                                             0x1000 | 0x4000,
                                             0x40 | 0x80,
                                             ch::BL | ch::BR,
                                             ch::BC,
                                             0x800,
                                             0x200000000ULL | 0x400000000ULL,
                                             0x80000000ULL | 0x100000000ULL,
                                             0x2000,
                                             0x800000000ULL};
        const uint32_t assign = assign8 ? assign8 : assign6;
        for (int b = 0; b < 13; ++b)
            if (assign >> b & 1) layout |= kGroups[b];
        f->codecName = "truehd";
    } else {
        const uint32_t bits = r.U(4, "quantization_word_length_1");
        r.Skip(4, "quantization_word_length_2");
        rate = kRates[r.U(4, "audio_sampling_frequency_1")];
        r.Skip(4 + 11, "audio_sampling_frequency_2, reserved");
        const uint32_t assign = r.U(5, "channel_assignment");
        // MLP's channel assignments, as ffmpeg lays them out.
        const uint64_t quad = ch::kStereo | ch::BL | ch::BR, back = ch::kStereo | ch::BC;
        const uint64_t kMlp[21] = {ch::kMono,
                                   ch::kStereo,
                                   back,
                                   quad,
                                   ch::kStereo | ch::LFE,
                                   back | ch::LFE,
                                   quad | ch::LFE,
                                   ch::kSurround,
                                   ch::kSurround | ch::BC,
                                   ch::k5Point0Back,
                                   ch::kSurround | ch::LFE,
                                   ch::kSurround | ch::BC | ch::LFE,
                                   ch::k5Point1Back,
                                   ch::kSurround | ch::BC,
                                   ch::k5Point0Back,
                                   ch::kSurround | ch::LFE,
                                   ch::kSurround | ch::BC | ch::LFE,
                                   ch::k5Point1Back,
                                   quad | ch::LFE,
                                   ch::k5Point0Back,
                                   ch::k5Point1Back};
        layout = assign < 21 ? kMlp[assign] : 0;
        f->codecName = "mlp";
        f->bitsPerRawSample = bits == 0 ? 16 : bits == 1 ? 20 : 24;
    }
    if (!r.Ok() || rate == 0 || layout == 0) return 0;
    (void)channels;
    BitReader peak(p + 16, 4);
    peak.Skip(16 + 1, "reserved, variable_rate");
    const int64_t peakRate = peak.U(15, "peak_data_rate");
    *majorSync = true;
    f->present = true;
    f->profile.clear();
    f->sampleRate = rate;
    SetLayout(f, layout);
    f->frameSamples = 40 << (rate % 44100 == 0 ? rate / 88200 : rate / 96000);
    f->bitRate = (peakRate * rate + 8) >> 4;
    if (f->codecName == "truehd") f->bitsPerRawSample = 24;
    f->sampleFmt = f->bitsPerRawSample <= 16 ? "s16" : "s32";
    f->detail.clear();
    return length;
}

int64_t ParseLoas(const uint8_t* p, size_t n, AudioFacts* f, bool* config) {
    *config = false;
    if (n < 3) return -1;
    if (p[0] != 0x56 || (p[1] & 0xE0) != 0xE0) return 0;
    const int64_t length = (int64_t{p[1] & 0x1F} << 8 | p[2]) + 3;
    if (n < 4) return length;
    BitReader r(p + 3,
                n - 3 < static_cast<size_t>(length - 3) ? n - 3 : static_cast<size_t>(length - 3));
    if (r.Flag("useSameStreamMux")) return length;
    // StreamMuxConfig.
    const int version = static_cast<int>(r.U(1, "audioMuxVersion"));
    int versionA = 0;
    if (version) versionA = static_cast<int>(r.U(1, "audioMuxVersionA"));
    if (versionA) return length;
    auto latmValue = [&r]() {
        const int bytes = static_cast<int>(r.U(2, "bytesForValue")) + 1;
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = v << 8 | r.U(8, "valueTmp");
        return v;
    };
    if (version) latmValue();  // taraBufferFullness
    r.Skip(1, "allStreamsSameTimeFraming");
    r.Skip(6, "numSubFrames");
    r.Skip(4, "numProgram");
    r.Skip(3, "numLayer");
    AudioFacts out;
    bool ok = false;
    if (version) {
        const uint32_t ascLen = latmValue();
        const int64_t start = r.BitPos();
        ok = ReadAsc(r, &out);
        const int64_t used = r.BitPos() - start;
        if (ok && ascLen >= used) r.Skip(ascLen - used, "fillBits");
    } else {
        ok = ReadAsc(r, &out);
    }
    if (!ok) return length;
    *f = out;
    *config = true;
    return length;
}

bool ParseOpusHead(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 19 || std::memcmp(p, "OpusHead", 8) != 0) return false;
    const int channels = p[9];
    const int preSkip = p[10] | p[11] << 8;
    const int family = p[18];
    if (channels == 0 || (family == 0 && channels > 2)) return false;
    f->present = true;
    f->codecName = "opus";
    f->profile.clear();
    f->sampleFmt = "fltp";
    f->sampleRate = 48000;
    f->initialPadding = preSkip;
    f->frameSamples = 0;
    // Vorbis channel order for families 0 and 1; no order for the others.
    if (family <= 1 && channels <= 8)
        SetLayout(f, kVorbisLayouts[channels]);
    else
        f->channels = channels, f->layout = 0;
    return true;
}

bool ParseOpusConfigBox(const uint8_t* p, size_t n, AudioFacts* f) {
    // dOps: Version, OutputChannelCount, PreSkip, InputSampleRate, OutputGain, family, ...,
    // big-endian; the same facts as OpusHead.
    if (n < 11 || p[0] != 0) return false;
    uint8_t head[19] = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1};
    head[9] = p[1];
    head[10] = p[3], head[11] = p[2];
    head[18] = p[10];
    return ParseOpusHead(head, sizeof head, f);
}

bool ParseFlacStreamInfo(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 18) return false;
    BitReader r(p, 18);
    r.Skip(16 + 16 + 24 + 24, "block and frame sizes");
    const int rate = static_cast<int>(r.U(20, "sample_rate"));
    const int channels = static_cast<int>(r.U(3, "channels")) + 1;
    const int bits = static_cast<int>(r.U(5, "bits_per_sample")) + 1;
    const int64_t total = int64_t{r.U(4, "total_samples")} << 32 | r.U(32, "total_samples");
    if (!r.Ok() || rate == 0) return false;
    // FLAC's channel orders, as ffmpeg names them.
    static const uint64_t kLayouts[9] = {0,
                                         ch::kMono,
                                         ch::kStereo,
                                         ch::kSurround,
                                         ch::kStereo | ch::BL | ch::BR,
                                         ch::k5Point0,
                                         ch::k5Point1,
                                         ch::k5Point1 | ch::BC,
                                         ch::k5Point1 | ch::BL | ch::BR};
    f->present = true;
    f->codecName = "flac";
    f->profile.clear();
    f->sampleRate = rate;
    SetLayout(f, kLayouts[channels]);
    f->bitsPerRawSample = bits;
    f->sampleFmt = bits <= 16 ? "s16" : "s32";
    f->totalSamples = total ? total : -1;
    f->frameSamples = 0;
    return true;
}

uint64_t FlacChannelMask(const uint8_t* p, size_t n) {
    static const char kKey[] = "WAVEFORMATEXTENSIBLE_CHANNEL_MASK=";
    const size_t keyLen = sizeof kKey - 1;
    auto le32 = [](const uint8_t* q) {
        return static_cast<size_t>(q[0]) | static_cast<size_t>(q[1]) << 8 |
               static_cast<size_t>(q[2]) << 16 | static_cast<size_t>(q[3]) << 24;
    };
    size_t at = 4;
    while (at + 4 <= n) {
        const bool last = p[at] & 0x80;
        const int type = p[at] & 0x7F;
        const size_t len =
            static_cast<size_t>(p[at + 1]) << 16 | static_cast<size_t>(p[at + 2]) << 8 | p[at + 3];
        at += 4;
        if (len > n - at) return 0;
        if (type == 4 && len >= 8) {
            const uint8_t* c = p + at;
            size_t k = 4 + le32(c);
            if (k + 4 > len) return 0;
            size_t count = le32(c + k);
            k += 4;
            for (; count > 0 && k + 4 <= len; --count) {
                const size_t l = le32(c + k);
                k += 4;
                if (l > len - k) return 0;
                if (l > keyLen && std::memcmp(c + k, kKey, keyLen) == 0) {
                    const std::string value(reinterpret_cast<const char*>(c + k + keyLen),
                                            l - keyLen);
                    return std::strtoull(value.c_str(), nullptr, 0);
                }
                k += l;
            }
        }
        at += len;
        if (last) break;
    }
    return 0;
}

bool ParseAlacCookie(const uint8_t* p, size_t n, AudioFacts* f) {
    // With its atom header (size, 'alac', version and flags) as MP4 and ffmpeg keep it.
    if (n >= 36 && std::memcmp(p + 4, "alac", 4) == 0) p += 12, n -= 12;
    if (n < 24) return false;
    BitReader r(p, 24);
    const int64_t frameLength = r.U(32, "frameLength");
    r.Skip(8, "compatibleVersion");
    const int bits = static_cast<int>(r.U(8, "bitDepth"));
    r.Skip(24, "pb, mb, kb");
    const int channels = static_cast<int>(r.U(8, "numChannels"));
    r.Skip(16 + 32, "maxRun, maxFrameBytes");
    const int64_t avgBitRate = r.U(32, "avgBitRate");
    const int64_t rate = r.U(32, "sampleRate");
    if (!r.Ok() || channels < 1 || channels > 8 || rate == 0 || rate > 0x7FFFFFFF || frameLength > 0x7FFFFFFF ||
        bits == 0)
        return false;
    static const uint64_t kLayouts[9] = {0,
                                         ch::kMono,
                                         ch::kStereo,
                                         ch::kSurround,
                                         ch::kSurround | ch::BC,
                                         ch::k5Point0Back,
                                         ch::k5Point1Back,
                                         ch::k5Point1Back | ch::BC,
                                         ch::k5Point1Back | ch::FLC | ch::FRC};
    f->present = true;
    f->codecName = "alac";
    f->profile.clear();
    f->sampleRate = static_cast<int>(rate);
    SetLayout(f, kLayouts[channels]);
    f->bitsPerRawSample = bits;
    f->sampleFmt = bits <= 16 ? "s16p" : "s32p";
    f->frameSamples = static_cast<int>(frameLength);
    f->bitRate = avgBitRate;
    return true;
}

bool ParseVorbisId(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 30 || p[0] != 1 || std::memcmp(p + 1, "vorbis", 6) != 0) return false;
    auto le32 = [p](size_t at) {
        return static_cast<uint32_t>(p[at]) | static_cast<uint32_t>(p[at + 1]) << 8 |
               static_cast<uint32_t>(p[at + 2]) << 16 | static_cast<uint32_t>(p[at + 3]) << 24;
    };
    const int channels = p[11];
    const uint32_t rate = le32(12);
    const int32_t nominal = static_cast<int32_t>(le32(20));
    if (channels == 0 || rate == 0 || rate > 1000000) return false;
        f->present = true;
    f->codecName = "vorbis";
    f->profile.clear();
    f->sampleFmt = "fltp";
    f->sampleRate = static_cast<int>(rate);
    if (channels <= 8)
        SetLayout(f, kVorbisLayouts[channels]);
    else
        f->channels = channels, f->layout = 0;
    f->bitRate = nominal > 0 ? nominal : 0;
    f->frameSamples = 0;
    return true;
}

bool ParseDac3(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 3) return false;
    BitReader r(p, 3);
    const int fscod = static_cast<int>(r.U(2, "fscod"));
    r.Skip(5 + 3, "bsid, bsmod");
    const int acmod = static_cast<int>(r.U(3, "acmod"));
    const bool lfe = r.Flag("lfeon");
    const int rateCode = static_cast<int>(r.U(5, "bit_rate_code"));
    if (fscod == 3 || rateCode > 18) return false;
    static const int kRates[3] = {48000, 44100, 32000};
    f->present = true;
    f->codecName = "ac3";
    f->sampleFmt = "fltp";
    f->sampleRate = kRates[fscod];
    f->bitRate = int64_t{kAc3Rates[rateCode]} * 1000;
    f->frameSamples = 1536;
    Ac3Channels(f, acmod, lfe);
    return true;
}

bool ParseDec3(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 5) return false;
    BitReader r(p, n);
    const int64_t kbps = r.U(13, "data_rate");
    r.Skip(3, "num_ind_sub");
    const int fscod = static_cast<int>(r.U(2, "fscod"));
    r.Skip(5 + 1 + 1 + 3, "bsid, reserved, asvc, bsmod");
    const int acmod = static_cast<int>(r.U(3, "acmod"));
    const bool lfe = r.Flag("lfeon");
    if (!r.Ok() || fscod == 3) return false;
    static const int kRates[3] = {48000, 44100, 32000};
    f->present = true;
    f->codecName = "eac3";
    f->sampleFmt = "fltp";
    f->sampleRate = kRates[fscod];
    f->bitRate = kbps * 1000;
    f->frameSamples = 1536;
    Ac3Channels(f, acmod, lfe);
    return true;
}

bool ParseDvdLpcm(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 3) return false;
    const int quant = p[1] >> 6, freq = p[1] >> 4 & 3, channels = (p[1] & 7) + 1;
    if (quant == 3) return false;
    static const int kRates[4] = {48000, 96000, 44100, 32000};
    f->present = true;
    f->codecName = "pcm_dvd";
    f->profile.clear();
    f->sampleRate = kRates[freq];
    // The decoder gives each count its usual layout.
    static const uint64_t kLayouts[9] = {0,
                                         ch::kMono,
                                         ch::kStereo,
                                         ch::kStereo | ch::LFE,
                                         ch::kSurround | ch::BC,
                                         ch::k5Point0Back,
                                         ch::k5Point1Back,
                                         ch::k5Point1 | ch::BC,
                                         ch::k5Point1 | ch::BL | ch::BR};
    SetLayout(f, kLayouts[channels]);
    f->bitsPerCoded = 16 + 4 * quant;
    f->bitsPerRawSample = f->bitsPerCoded;
    f->sampleFmt = quant ? "s32" : "s16";
    f->bitRate = int64_t{f->sampleRate} * channels * f->bitsPerCoded;
    f->frameSamples = 0;
    return true;
}

bool ParseBlurayLpcm(const uint8_t* p, size_t n, AudioFacts* f) {
    if (n < 4) return false;
    const int assign = p[2] >> 4, freq = p[2] & 15, bitsCode = p[3] >> 6;
    static const uint64_t kLayouts[16] = {0,
                                          ch::kMono,
                                          0,
                                          ch::kStereo,
                                          ch::kSurround,
                                          ch::kStereo | ch::BC,
                                          ch::kSurround | ch::BC,
                                          ch::kStereo | ch::SL | ch::SR,
                                          ch::k5Point0,
                                          ch::k5Point1,
                                          ch::k5Point0 | ch::BL | ch::BR,
                                          ch::k5Point1 | ch::BL | ch::BR,
                                          0,
                                          0,
                                          0,
                                          0};
    const int rate = freq == 1 ? 48000 : freq == 4 ? 96000 : freq == 5 ? 192000 : 0;
    if (kLayouts[assign] == 0 || rate == 0 || bitsCode == 0) return false;
    f->present = true;
    f->codecName = "pcm_bluray";
    f->profile.clear();
    f->sampleRate = rate;
    SetLayout(f, kLayouts[assign]);
    f->bitsPerCoded = bitsCode == 1 ? 16 : 24;
    f->bitsPerRawSample = bitsCode == 1 ? 0 : 24;
    f->sampleFmt = bitsCode == 1 ? "s16" : "s32";
    // Stored channels are rounded up to an even count.
    f->bitRate = int64_t{rate} * ((f->channels + 1) & ~1) * f->bitsPerCoded;
    f->frameSamples = 0;
    return true;
}

int OpusPacketSamples(const uint8_t* p, size_t n) {
    if (n < 1) return 0;
    const int config = p[0] >> 3;
    int frame;  // in 48 kHz samples
    if (config < 12)
        frame = (config & 3) == 3 ? 2880 : 480 << (config & 3);  // SILK: 10, 20, 40, 60 ms
    else if (config < 16)
        frame = 480 << (config & 1);  // hybrid: 10, 20 ms
    else
        frame = 120 << (config & 3);  // CELT: 2.5 to 20 ms
    int frames = 1;
    switch (p[0] & 3) {
    case 0:
        frames = 1;
        break;
    case 1:
    case 2:
        frames = 2;
        break;
    default:
        if (n < 2) return 0;
        frames = p[1] & 0x3F;
        break;
    }
    const int total = frame * frames;
    return frames == 0 || total > 5760 ? 0 : total;
}

bool AdtsHeaderFor(const uint8_t* asc, size_t ascSize, size_t payload, uint8_t out[7]) {
    if (ascSize < 2) return false;
    BitReader r(asc, ascSize);
    uint32_t aot = ObjectType(r);
    const uint32_t index = r.U(4, "samplingFrequencyIndex");
    if (index == 15) return false;
    const uint32_t config = r.U(4, "channelConfiguration");
    if (aot == 5 || aot == 29) {
        r.Skip(4, "extensionSamplingFrequencyIndex");
        aot = ObjectType(r);
    }
    const size_t length = payload + 7;
    if (!r.Ok() || aot == 0 || aot > 4 || length > 0x1FFF) return false;
    out[0] = 0xFF;
    out[1] = 0xF1;  // MPEG-4, no CRC
    out[2] = static_cast<uint8_t>((aot - 1) << 6 | index << 2 | (config >> 2 & 1));
    out[3] = static_cast<uint8_t>((config & 3) << 6 | (length >> 11 & 3));
    out[4] = static_cast<uint8_t>(length >> 3 & 0xFF);
    out[5] = static_cast<uint8_t>((length & 7) << 5 | 0x1F);
    out[6] = 0xFC;
    return true;
}

}  // namespace qvutil
