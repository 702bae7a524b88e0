#pragma once

// H.264 (ITU-T H.264 | ISO/IEC 14496-10): sequence and picture parameter sets, the start of
// the slice header (what tells one picture from the next), and the SEI messages that carry
// facts about the stream (picture timing, recovery points, HDR metadata).

#include "CodecParser.h"
#include "Vui.h"

#include <string>
#include <vector>

namespace qvutil {

struct H264Hrd {
    int cpbCount = 0;
    int64_t bitRate = 0, cpbSize = 0;  // of the first schedule, in bits (per second)
    int initialDelayLength = 24, removalDelayLength = 24, outputDelayLength = 24, timeOffsetLength = 24;
};

struct H264Sps {
    bool valid = false;
    int id = 0;
    int profileIdc = 0, levelIdc = 0;
    uint8_t constraints = 0;  // constraint_set0_flag in bit 7 ... constraint_set5_flag in bit 2
    int chromaFormatIdc = 1;
    bool separateColourPlane = false;
    int bitDepthLuma = 8, bitDepthChroma = 8;
    int log2MaxFrameNum = 4, pocType = 0, log2MaxPocLsb = 4;
    bool deltaPicOrderAlwaysZero = false;
    int32_t offsetForNonRefPic = 0, offsetForTopToBottomField = 0;
    int maxNumRefFrames = 0;
    int widthMbs = 0, heightMapUnits = 0;
    bool frameMbsOnly = true, mbaff = false;
    int crop[4] = {0, 0, 0, 0};  // left, right, top, bottom in luma samples
    // VUI
    bool vui = false;
    VuiCommon video;
    bool timing = false, fixedFrameRate = false;
    uint32_t unitsInTick = 0, timeScale = 0;
    bool nalHrd = false, vclHrd = false;
    H264Hrd hrd;  // the NAL HRD when there is one, else the VCL HRD
    bool picStructPresent = false;
    bool restriction = false;
    int maxNumReorderFrames = -1, maxDecFrameBuffering = -1;

    int Width() const { return widthMbs * 16 - crop[0] - crop[1]; }
    int Height() const { return heightMapUnits * 16 * (frameMbsOnly ? 1 : 2) - crop[2] - crop[3]; }
};

struct H264Pps {
    bool valid = false;
    int id = 0, spsId = 0;
    bool entropyCabac = false;
    bool bottomFieldPicOrderInFramePresent = false;
    int numSliceGroups = 1;
    bool redundantPicCntPresent = false;
    bool transform8x8 = false;
};

struct H264Slice {
    int nalType = 0, nalRefIdc = 0;
    int firstMb = 0, sliceType = 0, ppsId = 0, colourPlane = 0;
    int frameNum = 0;
    bool field = false, bottom = false;
    int idrPicId = 0, pocLsb = 0;
    int32_t deltaPocBottom = 0, deltaPoc[2] = {0, 0};
    int redundantPicCnt = 0;
};

// Each takes the RBSP of the whole NAL unit (its header byte first) and returns false with
// the reason in `error` when the unit is invalid. `capped`: the RBSP is only the unit's first
// bytes, so running out of data is not the stream's fault. A parameter set whose VUI alone
// is broken is kept (valid) and still reports the reason.
bool ParseH264Sps(const uint8_t* rbsp, size_t n, H264Sps& sps, std::string& error);
bool ParseH264Pps(const uint8_t* rbsp, size_t n, const H264Sps* spsTable, H264Pps& pps, std::string& error);
bool ParseH264SliceHeader(const uint8_t* rbsp, size_t n, const H264Sps* spsTable, const H264Pps* ppsTable,
                          H264Slice& slice, std::string& error);
// The SEI messages of an SEI NAL unit; `sps` (may be null) gives the lengths in picture timing.
bool ParseH264Sei(const uint8_t* rbsp, size_t n, bool capped, const H264Sps* sps, SeiFacts& facts,
                  std::string& error);

// ffprobe's profile name ("Constrained Baseline", "High 10 Intra"), or the number as text.
std::string H264ProfileName(int profileIdc, uint8_t constraints);

class H264Parser : public CodecParser {
public:
    H264Parser(StreamModel& model, PictureSink& sink);
    size_t Want(uint32_t code) const override;
    void OnUnit(const Unit& u) override;
    void Finish(int64_t end) override;

private:
    void OnSlice(const Unit& u);
    bool NewPicture(const H264Slice& s) const;
    void Activate(const H264Sps& sps);

    std::vector<H264Sps> m_sps;  // by seq_parameter_set_id
    std::vector<H264Pps> m_pps;  // by pic_parameter_set_id
    std::vector<uint8_t> m_rbsp;
    int m_activeSps = -1;
    int m_lastSps = -1;

    bool m_anyPps = false;
    int64_t m_auStart = -1;     // first unit of the next access unit, once one is seen
    H264Slice m_last;           // first slice of the picture being received
    SeiFacts m_sei;             // SEI of the access unit being received
    bool m_fieldPending = false;  // the previous picture was a first field
    H264Slice m_firstField;
    bool m_fieldOrderKnown = false;
};

}  // namespace qvutil
