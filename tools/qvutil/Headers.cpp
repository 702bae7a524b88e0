#include "Headers.h"

#include "QvBitStream.h"
#include "QvStartCode.h"

#include <cstdio>

namespace qvutil {

namespace {

std::string Numbered(const char* name, unsigned n) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s (%u)", name, n);
    return buf;
}

std::string Level(unsigned major, unsigned minor) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u", major, minor);
    return buf;
}

const char* ChromaName(unsigned idc) {
    switch (idc) {
    case 0: return "4:0:0";
    case 1: return "4:2:0";
    case 2: return "4:2:2";
    case 3: return "4:4:4";
    default: return "?";
    }
}

// The picture size from the coded size and the cropping offsets (left, right, top, bottom)
// in units of unitX and unitY luma samples.
void SetPicture(SequenceInfo& info, unsigned codedWidth, unsigned codedHeight, unsigned unitX,
                unsigned unitY, const unsigned crop[4]) {
    info.codedWidth = static_cast<int>(codedWidth);
    info.codedHeight = static_cast<int>(codedHeight);
    info.cropLeft = static_cast<int>(unitX * crop[0]);
    info.cropRight = static_cast<int>(unitX * crop[1]);
    info.cropTop = static_cast<int>(unitY * crop[2]);
    info.cropBottom = static_cast<int>(unitY * crop[3]);
    info.width = info.codedWidth - info.cropLeft - info.cropRight;
    info.height = info.codedHeight - info.cropTop - info.cropBottom;
    info.ok = info.width > 0 && info.height > 0;
    if (!info.ok) info.error = "picture size out of range";
}

const char* H264Profile(unsigned idc, unsigned constraints) {
    switch (idc) {
    case 66: return (constraints & 0x40) ? "Constrained Baseline" : "Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return "High 10";
    case 122: return "High 4:2:2";
    case 244: return "High 4:4:4 Predictive";
    case 44: return "CAVLC 4:4:4 Intra";
    case 83: return "Scalable Baseline";
    case 86: return "Scalable High";
    case 118: return "Multiview High";
    case 128: return "Stereo High";
    default: return "unknown";
    }
}

void SkipScalingList(QvBitStream& bs, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) next = (last + bs.GetSE() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

SequenceInfo H264Sps(std::vector<uint8_t> nal) {
    SequenceInfo info;
    info.what = "SPS";
    if (nal.size() < 4) {
        info.error = "SPS too short";
        return info;
    }
    QvBitStream bs(nal.data() + 1, static_cast<int32_t>(nal.size() - 1), 0);
    const unsigned profile = bs.GetBits(8), constraints = bs.GetBits(8), level = bs.GetBits(8);
    bs.GetUE();  // seq_parameter_set_id
    unsigned chroma = 1;
    bool separatePlanes = false;
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
    case 139: case 134: case 135:
        chroma = bs.GetUE();
        if (chroma == 3) separatePlanes = bs.GetBit1();
        bs.GetUE();  // bit_depth_luma_minus8
        bs.GetUE();  // bit_depth_chroma_minus8
        bs.GetBit1();
        if (bs.GetBit1()) {  // seq_scaling_matrix_present_flag
            for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i)
                if (bs.GetBit1()) SkipScalingList(bs, i < 6 ? 16 : 64);
        }
        break;
    default:
        break;
    }
    bs.GetUE();  // log2_max_frame_num_minus4
    const unsigned pocType = bs.GetUE();
    if (pocType == 0) {
        bs.GetUE();
    } else if (pocType == 1) {
        bs.GetBit1();
        bs.GetSE();
        bs.GetSE();
        const unsigned cycle = bs.GetUE();
        for (unsigned i = 0; i < cycle && i < 256; ++i) bs.GetSE();
    }
    bs.GetUE();   // max_num_ref_frames
    bs.GetBit1(); // gaps_in_frame_num_value_allowed_flag
    const unsigned widthMbs = bs.GetUE() + 1, heightMapUnits = bs.GetUE() + 1;
    const unsigned frameMbsOnly = bs.GetBit1();
    if (!frameMbsOnly) bs.GetBit1();
    bs.GetBit1();  // direct_8x8_inference_flag
    unsigned crop[4] = {0, 0, 0, 0};
    if (bs.GetBit1())
        for (unsigned& c : crop) c = bs.GetUE();

    const unsigned arrayType = separatePlanes ? 0 : chroma;
    const unsigned subW = (arrayType == 1 || arrayType == 2) ? 2 : 1;
    const unsigned subH = arrayType == 1 ? 2 : 1;
    const unsigned unitX = arrayType ? subW : 1, unitY = (arrayType ? subH : 1) * (2 - frameMbsOnly);

    info.profile = Numbered(H264Profile(profile, constraints), profile);
    info.level = (level == 9 || (level == 11 && (constraints & 0x10) && profile <= 88)) ? "1b"
                                                                                        : Level(level / 10, level % 10);
    info.chroma = ChromaName(chroma);
    SetPicture(info, widthMbs * 16, (2 - frameMbsOnly) * heightMapUnits * 16, unitX, unitY, crop);
    return info;
}

const char* H265Profile(unsigned idc) {
    switch (idc) {
    case 1: return "Main";
    case 2: return "Main 10";
    case 3: return "Main Still Picture";
    case 4: return "Format Range Extensions";
    case 5: return "High Throughput";
    case 9: return "Screen Content Coding";
    default: return "unknown";
    }
}

SequenceInfo H265Sps(std::vector<uint8_t> nal) {
    SequenceInfo info;
    info.what = "SPS";
    if (nal.size() < 16) {
        info.error = "SPS too short";
        return info;
    }
    QvBitStream bs(nal.data() + 2, static_cast<int32_t>(nal.size() - 2), 0);
    bs.GetBits(4);  // sps_video_parameter_set_id
    const unsigned subLayers = bs.GetBits(3);
    bs.GetBit1();
    // profile_tier_level: the general part, then what each sub-layer adds.
    bs.GetBits(2);
    const unsigned tier = bs.GetBit1(), profile = bs.GetBits(5);
    bs.ClearBits(32 + 48);  // compatibility and constraint flags
    const unsigned level = bs.GetBits(8);
    unsigned profilePresent = 0, levelPresent = 0;
    for (unsigned i = 0; i < subLayers; ++i) {
        profilePresent |= bs.GetBit1() << i;
        levelPresent |= bs.GetBit1() << i;
    }
    if (subLayers > 0) bs.ClearBits(2 * (8 - subLayers));
    for (unsigned i = 0; i < subLayers; ++i) {
        if (profilePresent & (1u << i)) bs.ClearBits(88);
        if (levelPresent & (1u << i)) bs.ClearBits(8);
    }
    bs.GetUE();  // sps_seq_parameter_set_id
    const unsigned chroma = bs.GetUE();
    if (chroma == 3) bs.GetBit1();
    const unsigned width = bs.GetUE(), height = bs.GetUE();
    unsigned win[4] = {0, 0, 0, 0};
    if (bs.GetBit1())
        for (unsigned& w : win) w = bs.GetUE();
    const unsigned subW = (chroma == 1 || chroma == 2) ? 2 : 1, subH = chroma == 1 ? 2 : 1;

    info.profile = Numbered(H265Profile(profile), profile);
    info.level = Level(level / 30, level % 30 / 3) + (tier ? " (High tier)" : " (Main tier)");
    info.chroma = ChromaName(chroma);
    SetPicture(info, width, height, subW, subH, win);
    return info;
}

const char* MpegProfile(unsigned p) {
    switch (p) {
    case 1: return "High";
    case 2: return "Spatially Scalable";
    case 3: return "SNR Scalable";
    case 4: return "Main";
    case 5: return "Simple";
    default: return "reserved";
    }
}

const char* MpegLevel(unsigned l) {
    switch (l) {
    case 4: return "High";
    case 6: return "High 1440";
    case 8: return "Main";
    case 10: return "Low";
    default: return "reserved";
    }
}

SequenceInfo MpegSequence(const uint8_t* data, size_t size) {
    SequenceInfo info;
    info.what = "sequence header";
    if (size < 12) {
        info.error = "sequence header cut off";
        return info;
    }
    QvBitStream bs(const_cast<uint8_t*>(data) + 4, static_cast<int32_t>(size - 4), 0);
    unsigned width = bs.GetBits(12), height = bs.GetBits(12);
    info.profile = "MPEG-1 (no sequence extension)";
    info.level = "-";
    info.chroma = "4:2:0";

    // The sequence extension comes before the first GOP or picture; without one this is
    // MPEG-1 video.
    QvStartCode sc(const_cast<uint8_t*>(data), static_cast<int32_t>(size), 0);
    sc.Skip();
    while (const uint32_t code = sc.Next()) {
        if (code == 0x1B8 || code == 0x100) break;
        if (code == 0x1B5 && sc.GetLeft() >= 10) {
            QvBitStream ext(sc.GetPPos() + 4, sc.GetLeft() - 4, 0);
            if (ext.GetBits(4) == 1) {
                const unsigned pl = ext.GetBits(8);
                ext.GetBit1();  // progressive_sequence
                const unsigned chroma = ext.GetBits(2);
                width |= ext.GetBits(2) << 12;
                height |= ext.GetBits(2) << 12;
                info.profile = (pl & 0x80) ? Numbered("escape", pl) : MpegProfile((pl >> 4) & 7);
                info.level = (pl & 0x80) ? "-" : MpegLevel(pl & 15);
                info.chroma = ChromaName(chroma);
                break;
            }
        }
        sc.Skip();
    }
    info.codedWidth = info.width = static_cast<int>(width);
    info.codedHeight = info.height = static_cast<int>(height);
    info.ok = width > 0 && height > 0;
    if (!info.ok) info.error = "picture size of 0";
    return info;
}

}  // namespace

std::vector<uint8_t> NalPayload(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    int zeros = 0;
    for (size_t i = 3; i < size; ++i) {
        const uint8_t b = data[i];
        if (zeros >= 2 && b <= 0x01) break;  // 00 00 00 or 00 00 01: the NAL unit ends
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;
            continue;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    // Zero bytes in front of the next start code are not part of this unit.
    while (!out.empty() && out.back() == 0) out.pop_back();
    return out;
}

bool IsSequenceHeader(Codec codec, const Hit& h) {
    const unsigned c = h.code & 0xFF;
    switch (codec) {
    case Codec::H264: return (c & 0x80) == 0 && (c & 0x1F) == 7;
    case Codec::H265: return c == 0x42;
    case Codec::Mpeg12: return c == 0xB3;
    default: return false;
    }
}

SequenceInfo DecodeSequenceHeader(Codec codec, const uint8_t* data, size_t size) {
    switch (codec) {
    case Codec::H264: return H264Sps(NalPayload(data, size));
    case Codec::H265: return H265Sps(NalPayload(data, size));
    case Codec::Mpeg12: return MpegSequence(data, size);
    default: {
        SequenceInfo info;
        info.error = "unknown codec";
        return info;
    }
    }
}

}  // namespace qvutil
