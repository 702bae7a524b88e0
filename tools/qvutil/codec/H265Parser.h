#pragma once

// H.265 (ITU-T H.265 | ISO/IEC 23008-2): video, sequence and picture parameter sets with
// their profile, tier and level, VUI and HRD, the start of the slice segment header, and the
// SEI messages that carry stream facts.

#include "CodecParser.h"
#include "Vui.h"

#include <string>
#include <vector>

namespace qvutil {

struct H265Ptl {
    int profileSpace = 0, tier = 0, profileIdc = 0, levelIdc = 0;
    uint32_t compatibility = 0;  // general_profile_compatibility_flag[j] in bit 31 - j
    bool progressiveSource = false, interlacedSource = false, nonPacked = false, frameOnly = false;
    // The RExt constraint flags, in coding order: max_12bit, max_10bit, max_8bit,
    // max_422chroma, max_420chroma, max_monochrome, intra, one_picture_only, lower_bit_rate.
    uint16_t constraints = 0;
};

struct H265Hrd {
    bool nal = false, vcl = false;
    int64_t bitRate = 0, cpbSize = 0;  // of the first schedule of the highest sub-layer
};

struct H265Vps {
    bool valid = false;
    int id = 0, maxSubLayers = 1;
    H265Ptl ptl;
    bool timing = false;
    uint32_t unitsInTick = 0, timeScale = 0;
};

struct H265Sps {
    bool valid = false;
    int id = 0, vpsId = 0, maxSubLayers = 1;
    H265Ptl ptl;
    int chromaFormatIdc = 1;
    bool separateColourPlane = false;
    int width = 0, height = 0;   // pic_width/height_in_luma_samples
    int conf[4] = {0, 0, 0, 0};  // conformance window, left right top bottom in luma samples
    int bitDepthLuma = 8, bitDepthChroma = 8;
    int log2MaxPocLsb = 4;
    int maxDecPicBuffering = 1, maxNumReorder = 0;  // of the highest sub-layer
    int log2MinCb = 3, log2Ctb = 4;
    int numShortTermRps = 0;
    // VUI
    bool vui = false;
    VuiCommon video;
    bool fieldSeq = false, frameFieldInfo = false;
    int display[4] = {0, 0, 0, 0};  // default display window
    bool timing = false;
    uint32_t unitsInTick = 0, timeScale = 0;
    H265Hrd hrd;
    bool rangeExtension = false;

    int Width() const { return width - conf[0] - conf[1]; }
    int Height() const { return height - conf[2] - conf[3]; }
    int64_t CtbCount() const;
};

struct H265Pps {
    bool valid = false;
    int id = 0, spsId = 0;
    bool dependentSliceSegments = false, outputFlagPresent = false;
    int numExtraSliceHeaderBits = 0;
};

struct H265Slice {
    int nalType = 0, layerId = 0, temporalId = 0;
    bool firstInPicture = false, dependent = false;
    int ppsId = 0, sliceType = -1, pocLsb = 0;
};

// Each takes the RBSP of the whole NAL unit (its two header bytes first).
bool ParseH265Vps(const uint8_t* rbsp, size_t n, H265Vps& vps, std::string& error);
bool ParseH265Sps(const uint8_t* rbsp, size_t n, H265Sps& sps, std::string& error);
bool ParseH265Pps(const uint8_t* rbsp, size_t n, const H265Sps* spsTable, H265Pps& pps, std::string& error);
bool ParseH265SliceHeader(const uint8_t* rbsp, size_t n, const H265Sps* spsTable, const H265Pps* ppsTable,
                          H265Slice& slice, std::string& error);
bool ParseH265Sei(const uint8_t* rbsp, size_t n, bool capped, const H265Sps* sps, SeiFacts& facts,
                  std::string& error);

// ffprobe's profile name ("Main", "Main 10", "Rext"), or the number as text; and a longer
// name for people that tells the range extensions profiles apart ("Main 4:2:2 10").
std::string H265ProfileName(int profileIdc);
std::string H265ProfileText(const H265Ptl& ptl);

class H265Parser : public CodecParser {
public:
    H265Parser(StreamModel& model, PictureSink& sink);
    size_t Want(uint32_t code) const override;
    void OnUnit(const Unit& u) override;
    void Finish(int64_t end) override;

private:
    void OnSlice(const Unit& u);
    void Activate(const H265Sps& sps);

    std::vector<H265Vps> m_vps;
    std::vector<H265Sps> m_sps;
    std::vector<H265Pps> m_pps;
    std::vector<uint8_t> m_rbsp;
    int m_activeSps = -1, m_lastSps = -1;

    bool m_anyPps = false;
    int64_t m_auStart = -1;
    SeiFacts m_sei;
    bool m_firstPicture = true;   // the next IRAP starts the stream (or follows an end of sequence)
    bool m_raslSkipped = false;   // the last IRAP's RASL pictures are not output
    bool m_fieldPending = false;
    int m_firstFieldParity = 0;
    bool m_fieldOrderKnown = false;
};

}  // namespace qvutil
