#include "H264Parser.h"

#include "Rbsp.h"
#include "Vui.h"

#include <cstdio>

namespace qvutil {

namespace {

bool HighProfile(int idc) {
    switch (idc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135: case 144:
        return true;
    default:
        return false;
    }
}

void ScalingList(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && r.Ok(); ++j) {
        if (next != 0) next = (last + r.Se("delta_scale", -128, 127) + 256) % 256;
        last = next == 0 ? last : next;
    }
}

void Hrd(BitReader& r, H264Hrd& h) {
    h.cpbCount = static_cast<int>(r.Ue("cpb_cnt_minus1", 31)) + 1;
    const int rateScale = static_cast<int>(r.U(4)), sizeScale = static_cast<int>(r.U(4));
    for (int i = 0; i < h.cpbCount && r.Ok(); ++i) {
        const int64_t rate = int64_t{r.Ue("bit_rate_value_minus1", 0xFFFFFFFEu)} + 1;
        const int64_t size = int64_t{r.Ue("cpb_size_value_minus1", 0xFFFFFFFEu)} + 1;
        r.Flag("cbr_flag");
        if (i == 0) {
            h.bitRate = rate << (6 + rateScale);
            h.cpbSize = size << (4 + sizeScale);
        }
    }
    h.initialDelayLength = static_cast<int>(r.U(5)) + 1;
    h.removalDelayLength = static_cast<int>(r.U(5)) + 1;
    h.outputDelayLength = static_cast<int>(r.U(5)) + 1;
    h.timeOffsetLength = static_cast<int>(r.U(5));
}

void Vui(BitReader& r, H264Sps& s) {
    s.vui = true;
    ParseVuiCommon(r, s.video);
    s.timing = r.Flag();
    if (s.timing) {
        s.unitsInTick = r.U(32, "num_units_in_tick");
        s.timeScale = r.U(32, "time_scale");
        s.fixedFrameRate = r.Flag();
        if (r.Ok() && (s.unitsInTick == 0 || s.timeScale == 0))
            r.Fail(s.unitsInTick == 0 ? "num_units_in_tick 0" : "time_scale 0");
    }
    s.nalHrd = r.Flag();
    if (s.nalHrd) Hrd(r, s.hrd);
    s.vclHrd = r.Flag();
    if (s.vclHrd) {
        H264Hrd vcl;
        Hrd(r, vcl);
        if (!s.nalHrd) s.hrd = vcl;
    }
    if (s.nalHrd || s.vclHrd) r.Flag();  // low_delay_hrd_flag
    s.picStructPresent = r.Flag();
    s.restriction = r.Flag();
    if (s.restriction) {
        r.Flag();  // motion_vectors_over_pic_boundaries_flag
        r.Ue("max_bytes_per_pic_denom", 16);
        r.Ue("max_bits_per_mb_denom", 16);
        r.Ue("log2_max_mv_length_horizontal", 16);
        r.Ue("log2_max_mv_length_vertical", 16);
        s.maxNumReorderFrames = static_cast<int>(r.Ue("max_num_reorder_frames", 16));
        s.maxDecFrameBuffering = static_cast<int>(r.Ue("max_dec_frame_buffering", 16));
        if (r.Ok() && s.maxNumReorderFrames > s.maxDecFrameBuffering)
            r.Fail("max_num_reorder_frames " + std::to_string(s.maxNumReorderFrames) +
                   " above max_dec_frame_buffering " + std::to_string(s.maxDecFrameBuffering));
    }
}

}  // namespace

std::string H264ProfileName(int idc, uint8_t constraints) {
    const bool set1 = constraints & 0x40, set3 = constraints & 0x10;
    switch (idc) {
    case 66: return set1 ? "Constrained Baseline" : "Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return set3 ? "High 10 Intra" : "High 10";
    case 122: return set3 ? "High 4:2:2 Intra" : "High 4:2:2";
    case 144: return "High 4:4:4";
    case 244: return set3 ? "High 4:4:4 Intra" : "High 4:4:4 Predictive";
    case 44: return "CAVLC 4:4:4";
    case 118: return "Multiview High";
    case 128: return "Stereo High";
    default: return std::to_string(idc);
    }
}

bool ParseH264Sps(const uint8_t* rbsp, size_t n, H264Sps& s, std::string& error) {
    s = H264Sps();
    BitReader r(rbsp, n);
    r.Skip(8, "NAL unit header");
    s.profileIdc = static_cast<int>(r.U(8, "profile_idc"));
    s.constraints = static_cast<uint8_t>(r.U(8, "constraint flags"));
    s.levelIdc = static_cast<int>(r.U(8, "level_idc"));
    s.id = static_cast<int>(r.Ue("seq_parameter_set_id", 31));
    if (HighProfile(s.profileIdc)) {
        s.chromaFormatIdc = static_cast<int>(r.Ue("chroma_format_idc", 3));
        if (s.chromaFormatIdc == 3) s.separateColourPlane = r.Flag();
        s.bitDepthLuma = static_cast<int>(r.Ue("bit_depth_luma_minus8", 6)) + 8;
        s.bitDepthChroma = static_cast<int>(r.Ue("bit_depth_chroma_minus8", 6)) + 8;
        r.Flag();  // qpprime_y_zero_transform_bypass_flag
        if (r.Flag()) {  // seq_scaling_matrix_present_flag
            const int lists = s.chromaFormatIdc != 3 ? 8 : 12;
            for (int i = 0; i < lists && r.Ok(); ++i)
                if (r.Flag()) ScalingList(r, i < 6 ? 16 : 64);
        }
    }
    s.log2MaxFrameNum = static_cast<int>(r.Ue("log2_max_frame_num_minus4", 12)) + 4;
    s.pocType = static_cast<int>(r.Ue("pic_order_cnt_type", 2));
    if (s.pocType == 0) {
        s.log2MaxPocLsb = static_cast<int>(r.Ue("log2_max_pic_order_cnt_lsb_minus4", 12)) + 4;
    } else if (s.pocType == 1) {
        s.deltaPicOrderAlwaysZero = r.Flag();
        s.offsetForNonRefPic = r.Se("offset_for_non_ref_pic", -2147483647, 2147483647);
        s.offsetForTopToBottomField = r.Se("offset_for_top_to_bottom_field", -2147483647, 2147483647);
        const uint32_t cycle = r.Ue("num_ref_frames_in_pic_order_cnt_cycle", 255);
        for (uint32_t i = 0; i < cycle && r.Ok(); ++i) r.Se("offset_for_ref_frame", -2147483647, 2147483647);
    }
    s.maxNumRefFrames = static_cast<int>(r.Ue("max_num_ref_frames", 16));
    r.Flag();  // gaps_in_frame_num_value_allowed_flag
    // 1055 macroblocks: the widest picture any level allows, sqrt(8 * MaxFS) at MaxFS 139264.
    s.widthMbs = static_cast<int>(r.Ue("pic_width_in_mbs_minus1", 1054)) + 1;
    s.heightMapUnits = static_cast<int>(r.Ue("pic_height_in_map_units_minus1", 1054)) + 1;
    s.frameMbsOnly = r.Flag();
    if (!s.frameMbsOnly) s.mbaff = r.Flag();
    r.Flag();  // direct_8x8_inference_flag
    if (r.Flag()) {  // frame_cropping_flag
        uint32_t c[4];
        for (uint32_t& v : c) v = r.Ue("frame_crop_offset", 0xFFFFFFFEu);
        const int arrayType = s.separateColourPlane ? 0 : s.chromaFormatIdc;
        const int64_t unitX = (arrayType == 1 || arrayType == 2) ? 2 : 1;
        const int64_t unitY = (arrayType == 1 ? 2 : 1) * (s.frameMbsOnly ? 1 : 2);
        const int64_t w = int64_t{s.widthMbs} * 16, h = int64_t{s.heightMapUnits} * 16 * (s.frameMbsOnly ? 1 : 2);
        if (r.Ok()) {
            if (unitX * (int64_t{c[0]} + c[1]) >= w || unitY * (int64_t{c[2]} + c[3]) >= h) {
                r.Fail("frame cropping leaves no picture");
            } else {
                s.crop[0] = static_cast<int>(unitX * c[0]);
                s.crop[1] = static_cast<int>(unitX * c[1]);
                s.crop[2] = static_cast<int>(unitY * c[2]);
                s.crop[3] = static_cast<int>(unitY * c[3]);
            }
        }
    }
    if (!r.Ok()) return error = r.Error(), false;
    s.valid = true;
    if (r.Flag()) {  // vui_parameters_present_flag
        Vui(r, s);
        if (!r.Ok()) return error = "VUI: " + r.Error(), true;
    }
    r.TrailingBits();
    if (!r.Ok()) return error = r.Error(), true;
    return true;
}

bool ParseH264Pps(const uint8_t* rbsp, size_t n, const H264Sps* spsTable, H264Pps& p, std::string& error) {
    p = H264Pps();
    BitReader r(rbsp, n);
    r.Skip(8, "NAL unit header");
    p.id = static_cast<int>(r.Ue("pic_parameter_set_id", 255));
    p.spsId = static_cast<int>(r.Ue("seq_parameter_set_id", 31));
    if (!r.Ok()) return error = r.Error(), false;
    const H264Sps& sps = spsTable[p.spsId];
    if (!sps.valid) return error = Missing("SPS", p.spsId), false;
    p.entropyCabac = r.Flag();
    p.bottomFieldPicOrderInFramePresent = r.Flag();
    p.numSliceGroups = static_cast<int>(r.Ue("num_slice_groups_minus1", 7)) + 1;
    const uint32_t mapUnits = static_cast<uint32_t>(sps.widthMbs * sps.heightMapUnits);
    if (p.numSliceGroups > 1) {
        const uint32_t type = r.Ue("slice_group_map_type", 6);
        if (type == 0) {
            for (int i = 0; i < p.numSliceGroups && r.Ok(); ++i) r.Ue("run_length_minus1", mapUnits - 1);
        } else if (type == 2) {
            for (int i = 0; i < p.numSliceGroups - 1 && r.Ok(); ++i) {
                r.Ue("top_left", mapUnits - 1);
                r.Ue("bottom_right", mapUnits - 1);
            }
        } else if (type >= 3 && type <= 5) {
            r.Flag();
            r.Ue("slice_group_change_rate_minus1", mapUnits - 1);
        } else if (type == 6) {
            const uint32_t size = r.Ue("pic_size_in_map_units_minus1", mapUnits - 1) + 1;
            int bits = 0;
            while ((1 << bits) < p.numSliceGroups) ++bits;
            r.Skip(int64_t{size} * bits, "slice_group_id");
        }
    }
    r.Ue("num_ref_idx_l0_default_active_minus1", 31);
    r.Ue("num_ref_idx_l1_default_active_minus1", 31);
    r.Flag();  // weighted_pred_flag
    r.U(2, "weighted_bipred_idc");
    const int qpOffset = 6 * (sps.bitDepthLuma - 8);
    r.Se("pic_init_qp_minus26", -26 - qpOffset, 25);
    r.Se("pic_init_qs_minus26", -26, 25);
    r.Se("chroma_qp_index_offset", -12, 12);
    r.Flag();  // deblocking_filter_control_present_flag
    r.Flag();  // constrained_intra_pred_flag
    p.redundantPicCntPresent = r.Flag();
    if (r.Ok() && r.MoreRbspData()) {
        p.transform8x8 = r.Flag();
        if (r.Flag()) {  // pic_scaling_matrix_present_flag
            const int lists = 6 + (sps.chromaFormatIdc != 3 ? 2 : 6) * (p.transform8x8 ? 1 : 0);
            for (int i = 0; i < lists && r.Ok(); ++i)
                if (r.Flag()) ScalingList(r, i < 6 ? 16 : 64);
        }
        r.Se("second_chroma_qp_index_offset", -12, 12);
    }
    r.TrailingBits();
    if (!r.Ok()) return error = r.Error(), false;
    p.valid = true;
    return true;
}

bool ParseH264SliceHeader(const uint8_t* rbsp, size_t n, const H264Sps* spsTable, const H264Pps* ppsTable,
                          H264Slice& s, std::string& error) {
    s = H264Slice();
    BitReader r(rbsp, n);
    const uint32_t header = r.U(8, "NAL unit header");
    s.nalType = static_cast<int>(header & 0x1F);
    s.nalRefIdc = static_cast<int>((header >> 5) & 3);
    s.firstMb = static_cast<int>(r.Ue("first_mb_in_slice", 1055u * 1055u - 1));
    s.sliceType = static_cast<int>(r.Ue("slice_type", 9));
    s.ppsId = static_cast<int>(r.Ue("pic_parameter_set_id", 255));
    if (!r.Ok()) return error = r.Error(), false;
    const H264Pps& pps = ppsTable[s.ppsId];
    if (!pps.valid) return error = Missing("PPS", s.ppsId), false;
    const H264Sps& sps = spsTable[pps.spsId];
    if (!sps.valid) return error = Missing("SPS", pps.spsId), false;
    const int frameMbs = sps.widthMbs * sps.heightMapUnits * (sps.frameMbsOnly ? 1 : 2);
    if (s.firstMb >= frameMbs)
        return error = "first_mb_in_slice " + std::to_string(s.firstMb) + " beyond the picture", false;
    if (s.nalType == 5 && s.sliceType % 5 != 2 && s.sliceType % 5 != 4)
        return error = "IDR picture with a slice that is not intra", false;
    if (sps.separateColourPlane) s.colourPlane = static_cast<int>(r.U(2, "colour_plane_id"));
    s.frameNum = static_cast<int>(r.U(sps.log2MaxFrameNum, "frame_num"));
    if (!sps.frameMbsOnly) {
        s.field = r.Flag();
        if (s.field) s.bottom = r.Flag();
    }
    if (s.nalType == 5) s.idrPicId = static_cast<int>(r.Ue("idr_pic_id", 65535));
    if (sps.pocType == 0) {
        s.pocLsb = static_cast<int>(r.U(sps.log2MaxPocLsb, "pic_order_cnt_lsb"));
        if (pps.bottomFieldPicOrderInFramePresent && !s.field)
            s.deltaPocBottom = r.Se("delta_pic_order_cnt_bottom", -2147483647, 2147483647);
    } else if (sps.pocType == 1 && !sps.deltaPicOrderAlwaysZero) {
        s.deltaPoc[0] = r.Se("delta_pic_order_cnt", -2147483647, 2147483647);
        if (pps.bottomFieldPicOrderInFramePresent && !s.field)
            s.deltaPoc[1] = r.Se("delta_pic_order_cnt", -2147483647, 2147483647);
    }
    if (pps.redundantPicCntPresent) s.redundantPicCnt = static_cast<int>(r.Ue("redundant_pic_cnt", 127));
    if (!r.Ok()) return error = r.Error(), false;
    return true;
}

bool ParseH264Sei(const uint8_t* rbsp, size_t n, bool capped, const H264Sps* sps, SeiFacts& facts,
                  std::string& error) {
    if (n < 1) return error = "empty SEI", false;
    return ForEachSeiMessage(
        rbsp + 1, n - 1, capped,
        [&](int type, const uint8_t* p, size_t size) {
            std::string why;
            if (type == 1) {  // pic_timing
                if (!sps) return true;  // its syntax depends on an SPS not seen yet
                BitReader r(p, size);
                if (sps->nalHrd || sps->vclHrd) {
                    r.U(sps->hrd.removalDelayLength, "cpb_removal_delay");
                    r.U(sps->hrd.outputDelayLength, "dpb_output_delay");
                }
                if (sps->picStructPresent) {
                    const int ps = static_cast<int>(r.U(4, "pic_struct"));
                    if (r.Ok() && ps > 8) r.Fail("pic_struct " + std::to_string(ps) + " out of range 0..8");
                    if (r.Ok()) facts.picStruct = ps;
                }
                if (!r.Ok()) return error = "picture timing: " + r.Error(), false;
                return true;
            }
            if (type == 6) {  // recovery_point
                BitReader r(p, size);
                const uint32_t cnt = r.Ue("recovery_frame_cnt", 65535);
                r.Flag();
                r.Flag();
                r.U(2, "changing_slice_group_idc");
                if (!r.Ok()) return error = "recovery point: " + r.Error(), false;
                facts.recoveryFrameCnt = static_cast<int>(cnt);
                return true;
            }
            if (!ParseCommonSei(type, p, size, facts, why)) return error = why, false;
            return true;
        },
        error);
}

// --- The stream ----------------------------------------------------------------------

H264Parser::H264Parser(StreamModel& model, PictureSink& sink)
    : CodecParser(model, sink), m_sps(32), m_pps(256) {}

size_t H264Parser::Want(uint32_t code) const {
    switch (code & 0x1F) {
    case 1: case 2: case 5: return 128;  // enough for the slice header fields read here
    case 6: return 16 * 1024;
    case 7: case 8: return kMaxHeaderUnit;
    default: return 4;
    }
}

void H264Parser::OnUnit(const Unit& u) {
    if (u.have < 4) return;
    const int header = u.data[3];
    const int type = header & 0x1F;
    if (header & 0x80) {
        Invalid("NAL unit", u, "forbidden_zero_bit is 1");
        return;
    }
    const int64_t start = u.offset - (u.zeroBefore ? 1 : 0);
    // SEI, SPS, PPS and access unit delimiters come before the first slice of a picture:
    // after a picture's slices they begin the next access unit. (Prefix NAL units of
    // scalable streams come before every slice, so they cannot tell.)
    if (((type >= 6 && type <= 9) || u.auStart) && m_auStart < 0) m_auStart = start;
    const bool capped = u.Capped();
    std::string why;
    switch (type) {
    case 7: {
        if (capped) return Invalid("SPS", u, "longer than " + std::to_string(kMaxHeaderUnit) + " bytes");
        Unescape(u.data + 3, u.have - 3, m_rbsp);
        H264Sps sps;
        const bool kept = ParseH264Sps(m_rbsp.data(), m_rbsp.size(), sps, why);
        if (!why.empty()) Invalid("SPS", u, why);
        if (kept) {
            m_sps[sps.id] = sps;
            m_lastSps = sps.id;
        }
        return;
    }
    case 8: {
        if (capped) return Invalid("PPS", u, "longer than " + std::to_string(kMaxHeaderUnit) + " bytes");
        Unescape(u.data + 3, u.have - 3, m_rbsp);
        H264Pps pps;
        if (ParseH264Pps(m_rbsp.data(), m_rbsp.size(), m_sps.data(), pps, why)) {
            m_pps[pps.id] = pps;
            m_anyPps = true;
        } else {
            Invalid("PPS", u, why);
        }
        return;
    }
    case 6: {
        Unescape(u.data + 3, u.have - 3, m_rbsp);
        // Before the first picture the SPS that comes with it is the one sent last.
        const int id = m_activeSps >= 0 ? m_activeSps : m_lastSps;
        const H264Sps* sps = id >= 0 ? &m_sps[id] : nullptr;
        if (!ParseH264Sei(m_rbsp.data(), m_rbsp.size(), capped, sps, m_sei, why)) Invalid("SEI", u, why);
        return;
    }
    case 1: case 2: case 5:
        OnSlice(u);
        return;
    default:
        return;
    }
}

bool H264Parser::NewPicture(const H264Slice& s) const {
    // The first slice of a primary picture differs from the previous picture's slices in
    // one of these (the rules for detecting the first VCL NAL unit of a primary picture).
    const H264Slice& p = m_last;
    if (s.frameNum != p.frameNum || s.ppsId != p.ppsId || s.field != p.field || s.bottom != p.bottom) return true;
    if ((s.nalRefIdc == 0) != (p.nalRefIdc == 0)) return true;
    if ((s.nalType == 5) != (p.nalType == 5)) return true;
    if (s.nalType == 5 && s.idrPicId != p.idrPicId) return true;
    if (s.pocLsb != p.pocLsb || s.deltaPocBottom != p.deltaPocBottom) return true;
    if (s.deltaPoc[0] != p.deltaPoc[0] || s.deltaPoc[1] != p.deltaPoc[1]) return true;
    return false;
}

void H264Parser::OnSlice(const Unit& u) {
    Unescape(u.data + 3, u.have - 3, m_rbsp);
    H264Slice s;
    std::string why;
    if (!ParseH264SliceHeader(m_rbsp.data(), m_rbsp.size(), m_sps.data(), m_pps.data(), s, why)) {
        // A stream cut anywhere (a capture, a file split) starts with slices whose parameter
        // sets come later: those are counted, not reported.
        if (!m_anyPps) ++m_model.leadingUnits;
        else if (!(u.Capped() && why.find("cut off") != std::string::npos)) Invalid("slice header", u, why);
        return;
    }
    if (s.redundantPicCnt > 0) return;  // a redundant copy of a picture already counted
    const int64_t start = u.offset - (u.zeroBefore ? 1 : 0);
    if (m_havePicture && m_auStart < 0 && !NewPicture(s)) return;  // another slice of the same picture

    const H264Sps& sps = m_sps[m_pps[s.ppsId].spsId];
    if (m_activeSps != sps.id) {
        // Facts are those of the first SPS a picture uses, as ffprobe reports them; later
        // ones that change the picture format are counted.
        if (m_activeSps >= 0) CompareSequence(sps.Width(), sps.Height(), sps.chromaFormatIdc, sps.bitDepthLuma);
        else Activate(sps);
        m_activeSps = sps.id;
    }

    Picture pic;
    pic.offset = m_auStart >= 0 ? m_auStart : start;
    m_auStart = -1;
    static const char kTypes[] = {'P', 'B', 'I', 'p', 'i'};
    pic.type = kTypes[s.sliceType % 5];
    pic.structure = s.field ? (s.bottom ? 2 : 1) : 3;
    const bool idr = s.nalType == 5;
    pic.key = idr || m_sei.recoveryFrameCnt >= 0;
    pic.kind = idr ? "IDR" : "";
    pic.closedGop = idr;
    if (s.field) {
        // The second field of a pair: opposite parity, same frame_num, right after the first.
        pic.secondField = m_fieldPending && m_firstField.bottom != s.bottom && m_firstField.frameNum == s.frameNum;
        m_fieldPending = !pic.secondField;
        m_firstField = s;
    } else {
        m_fieldPending = false;
    }

    if (!m_fieldOrderKnown) {
        m_fieldOrderKnown = true;
        const char* order = "progressive";
        if (s.field) {
            order = s.bottom ? "bb" : "tt";
        } else if (sps.picStructPresent && m_sei.picStruct >= 0) {
            const int ps = m_sei.picStruct;
            order = (ps == 3 || ps == 5) ? "tt" : (ps == 4 || ps == 6) ? "bb" : "progressive";
        } else {
            // The order of the two fields' picture order counts within the frame.
            int64_t diff = 0;
            if (sps.pocType == 0) diff = s.deltaPocBottom;
            else if (sps.pocType == 1) diff = int64_t{sps.offsetForTopToBottomField} + s.deltaPoc[1];
            order = diff > 0 ? "tt" : diff < 0 ? "bb" : "progressive";
        }
        m_model.fieldOrder = order;
    }
    TakeSei(m_sei);
    BeginPicture(pic);
    m_last = s;
}

void H264Parser::Finish(int64_t end) {
    EndPicture(end);
    if (!m_model.seq.present)
        for (const H264Sps& s : m_sps)
            if (s.valid) {
                Activate(s);
                break;
            }
}

void H264Parser::Activate(const H264Sps& s) {
    SequenceFacts& f = m_model.seq;
    f = SequenceFacts();
    f.present = true;
    f.profileIdc = s.profileIdc;
    f.profile = H264ProfileName(s.profileIdc, s.constraints);
    f.profileText = f.profile + " (" + std::to_string(s.profileIdc) + ")";
    if (f.profile == std::to_string(s.profileIdc)) f.profileText = "profile_idc " + f.profile;
    f.level = s.levelIdc;
    const bool oneB = s.levelIdc == 9 || (s.levelIdc == 11 && (s.constraints & 0x10) &&
                                          (s.profileIdc == 66 || s.profileIdc == 77 || s.profileIdc == 88));
    char level[16];
    std::snprintf(level, sizeof level, "%d.%d", s.levelIdc / 10, s.levelIdc % 10);
    f.levelText = oneB ? "1b" : level;
    f.codedWidth = s.widthMbs * 16;
    f.codedHeight = s.heightMapUnits * 16 * (s.frameMbsOnly ? 1 : 2);
    f.cropLeft = s.crop[0];
    f.cropRight = s.crop[1];
    f.cropTop = s.crop[2];
    f.cropBottom = s.crop[3];
    f.width = s.Width();
    f.height = s.Height();
    f.chromaFormat = s.chromaFormatIdc;
    f.separateColourPlanes = s.separateColourPlane;
    f.bitDepthLuma = s.bitDepthLuma;
    f.bitDepthChroma = s.bitDepthChroma;
    f.interlacedCoding = !s.frameMbsOnly;
    f.mbaff = s.mbaff;
    // A frame lasts two ticks (one per field).
    if (s.timing) f.frameRate = Reduce(s.timeScale, int64_t{s.unitsInTick} * 2);
    f.fixedFrameRate = s.fixedFrameRate;
    ApplyVuiCommon(s.video, f);
    // Left (the MPEG-2 siting) is what a VUI without chroma location implies; without a VUI
    // nothing is said.
    f.chromaLocation = s.video.chromaLocTop >= 0 ? s.video.chromaLocTop + 1 : s.vui ? 1 : 0;
    f.refs = s.maxNumRefFrames;
    f.hasBFrames = s.restriction ? s.maxNumReorderFrames : -1;
    f.maxDecFrameBuffering = s.maxDecFrameBuffering;
    f.bitRate = (s.nalHrd || s.vclHrd) ? s.hrd.bitRate : 0;
    f.bufferSize = (s.nalHrd || s.vclHrd) ? s.hrd.cpbSize : 0;
    f.picStructPresent = s.picStructPresent;
}

}  // namespace qvutil
