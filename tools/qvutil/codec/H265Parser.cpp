#include "H265Parser.h"

#include "Rbsp.h"
#include "Vui.h"

#include <cstdio>

namespace qvutil {

namespace {

void ProfileTierLevel(BitReader& r, int maxSubLayersMinus1, H265Ptl& p) {
    p.profileSpace = static_cast<int>(r.U(2, "general_profile_space"));
    p.tier = static_cast<int>(r.U(1, "general_tier_flag"));
    p.profileIdc = static_cast<int>(r.U(5, "general_profile_idc"));
    p.compatibility = r.U(32, "general_profile_compatibility_flags");
    p.progressiveSource = r.Flag();
    p.interlacedSource = r.Flag();
    p.nonPacked = r.Flag();
    p.frameOnly = r.Flag();
    p.constraints = static_cast<uint16_t>(r.U(9, "general constraint flags"));
    r.Skip(43 - 9 + 1, "general reserved bits");
    p.levelIdc = static_cast<int>(r.U(8, "general_level_idc"));
    // A stream that names no profile: the first one it claims to be compatible with.
    if (p.profileIdc == 0)
        for (int j = 1; j < 32; ++j)
            if (p.compatibility & (1u << (31 - j))) {
                p.profileIdc = j;
                break;
            }
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (int i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = r.Flag();
        levelPresent[i] = r.Flag();
    }
    if (maxSubLayersMinus1 > 0) r.Skip(2 * (8 - maxSubLayersMinus1), "reserved_zero_2bits");
    for (int i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) r.Skip(88, "sub_layer profile");
        if (levelPresent[i]) r.Skip(8, "sub_layer_level_idc");
    }
}

void SubLayerHrd(BitReader& r, int cpbCount, bool subPic, H265Hrd& h, bool keep) {
    for (int i = 0; i < cpbCount && r.Ok(); ++i) {
        const int64_t rate = int64_t{r.Ue("bit_rate_value_minus1", 0xFFFFFFFEu)} + 1;
        const int64_t size = int64_t{r.Ue("cpb_size_value_minus1", 0xFFFFFFFEu)} + 1;
        if (subPic) {
            r.Ue("cpb_size_du_value_minus1", 0xFFFFFFFEu);
            r.Ue("bit_rate_du_value_minus1", 0xFFFFFFFEu);
        }
        r.Flag();  // cbr_flag
        if (keep && i == 0) {
            h.bitRate = rate;
            h.cpbSize = size;
        }
    }
}

void Hrd(BitReader& r, bool common, int maxSubLayersMinus1, H265Hrd& h) {
    bool subPic = false;
    int rateScale = 0, sizeScale = 0;
    if (common) {
        h.nal = r.Flag();
        h.vcl = r.Flag();
        if (h.nal || h.vcl) {
            subPic = r.Flag();
            if (subPic) {
                r.U(8, "tick_divisor_minus2");
                r.U(5, "du_cpb_removal_delay_increment_length_minus1");
                r.Flag();
                r.U(5, "dpb_output_delay_du_length_minus1");
            }
            rateScale = static_cast<int>(r.U(4, "bit_rate_scale"));
            sizeScale = static_cast<int>(r.U(4, "cpb_size_scale"));
            if (subPic) r.U(4, "cpb_size_du_scale");
            r.U(15, "HRD delay lengths");
        }
    }
    for (int i = 0; i <= maxSubLayersMinus1 && r.Ok(); ++i) {
        const bool general = r.Flag();
        bool withinCvs = true, lowDelay = false;
        if (!general) withinCvs = r.Flag();
        if (withinCvs) r.Ue("elemental_duration_in_tc_minus1", 2047);
        else lowDelay = r.Flag();
        int cpbCount = 1;
        if (!lowDelay) cpbCount = static_cast<int>(r.Ue("cpb_cnt_minus1", 31)) + 1;
        const bool keep = i == maxSubLayersMinus1;
        if (h.nal) SubLayerHrd(r, cpbCount, subPic, h, keep);
        if (h.vcl) SubLayerHrd(r, cpbCount, subPic, h, keep && !h.nal);
    }
    h.bitRate <<= 6 + rateScale;
    h.cpbSize <<= 4 + sizeScale;
}

void ScalingListData(BitReader& r) {
    for (int sizeId = 0; sizeId < 4 && r.Ok(); ++sizeId)
        for (int matrixId = 0; matrixId < 6 && r.Ok(); matrixId += sizeId == 3 ? 3 : 1) {
            if (!r.Flag()) {  // scaling_list_pred_mode_flag
                r.Ue("scaling_list_pred_matrix_id_delta", static_cast<uint32_t>(sizeId == 3 ? matrixId / 3 : matrixId));
            } else {
                const int coefs = 1 << (4 + (sizeId << 1)) < 64 ? 1 << (4 + (sizeId << 1)) : 64;
                if (sizeId > 1) r.Se("scaling_list_dc_coef_minus8", -7, 247);
                for (int i = 0; i < coefs && r.Ok(); ++i) r.Se("scaling_list_delta_coef", -128, 127);
            }
        }
}

// st_ref_pic_set(idx) of the SPS: returns NumDeltaPocs of the set.
int ShortTermRps(BitReader& r, int idx, const int* numDeltaPocs, int maxDecPicBuffering) {
    if (idx != 0 && r.Flag()) {  // inter_ref_pic_set_prediction_flag
        const int ref = idx - 1;  // delta_idx_minus1 is only coded in slice headers
        r.U(1, "delta_rps_sign");
        r.Ue("abs_delta_rps_minus1", 32767);
        int count = 0;
        for (int j = 0; j <= numDeltaPocs[ref] && r.Ok(); ++j) {
            const bool used = r.Flag();
            const bool useDelta = used ? true : r.Flag();
            if (useDelta) ++count;
        }
        if (r.Ok() && count > 16) r.Fail("short-term RPS with " + std::to_string(count) + " pictures");
        return count;
    }
    const uint32_t neg = r.Ue("num_negative_pics", static_cast<uint32_t>(maxDecPicBuffering));
    const uint32_t pos = r.Ue("num_positive_pics", static_cast<uint32_t>(maxDecPicBuffering) - neg);
    for (uint32_t i = 0; i < neg + pos && r.Ok(); ++i) {
        r.Ue("delta_poc_minus1", 32767);
        r.Flag();  // used_by_curr_pic_flag
    }
    return static_cast<int>(neg + pos);
}

void Vui(BitReader& r, H265Sps& s) {
    s.vui = true;
    ParseVuiCommon(r, s.video);
    r.Flag();  // neutral_chroma_indication_flag
    s.fieldSeq = r.Flag();
    s.frameFieldInfo = r.Flag();
    if (r.Flag()) {  // default_display_window_flag
        const int unitX = (s.chromaFormatIdc == 1 || s.chromaFormatIdc == 2) ? 2 : 1;
        const int unitY = s.chromaFormatIdc == 1 ? 2 : 1;
        for (int i = 0; i < 4; ++i)
            s.display[i] = static_cast<int>(r.Ue("def_disp_win_offset", 16888)) * (i < 2 ? unitX : unitY);
    }
    s.timing = r.Flag();
    if (s.timing) {
        s.unitsInTick = r.U(32, "vui_num_units_in_tick");
        s.timeScale = r.U(32, "vui_time_scale");
        if (r.Ok() && (s.unitsInTick == 0 || s.timeScale == 0))
            r.Fail(s.unitsInTick == 0 ? "vui_num_units_in_tick 0" : "vui_time_scale 0");
        if (r.Flag()) r.Ue("vui_num_ticks_poc_diff_one_minus1", 0xFFFFFFFEu);
        if (r.Flag()) Hrd(r, true, s.maxSubLayers - 1, s.hrd);
    }
    if (r.Flag()) {  // bitstream_restriction_flag
        r.Flag();
        r.Flag();
        r.Flag();
        r.Ue("min_spatial_segmentation_idc", 4095);
        r.Ue("max_bytes_per_pic_denom", 16);
        r.Ue("max_bits_per_min_cu_denom", 16);
        r.Ue("log2_max_mv_length_horizontal", 15);
        r.Ue("log2_max_mv_length_vertical", 15);
    }
}

int CeilLog2(int64_t v) {
    int bits = 0;
    while ((int64_t{1} << bits) < v) ++bits;
    return bits;
}

}  // namespace

int64_t H265Sps::CtbCount() const {
    const int64_t ctb = int64_t{1} << log2Ctb;
    return ((width + ctb - 1) / ctb) * ((height + ctb - 1) / ctb);
}

std::string H265ProfileName(int idc) {
    switch (idc) {
    case 1: return "Main";
    case 2: return "Main 10";
    case 3: return "Main Still Picture";
    case 4: return "Rext";
    default: return std::to_string(idc);
    }
}

std::string H265ProfileText(const H265Ptl& p) {
    std::string name;
    switch (p.profileIdc) {
    case 1: name = "Main"; break;
    case 2: name = "Main 10"; break;
    case 3: name = "Main Still Picture"; break;
    case 4: {
        // The format range extensions profiles differ only in their constraint flags.
        static const struct {
            unsigned flags;  // max_12bit .. max_monochrome, 6 bits
            const char* name;
        } kRext[] = {{0x3F, "Monochrome"},        {0x27, "Monochrome 12"},    {0x07, "Monochrome 16"},
                     {0x26, "Main 12"},           {0x34, "Main 4:2:2 10"},    {0x24, "Main 4:2:2 12"},
                     {0x38, "Main 4:4:4"},        {0x30, "Main 4:4:4 10"},    {0x20, "Main 4:4:4 12"},
                     {0x00, "Main 4:4:4 16"}};
        const unsigned flags = p.constraints >> 3;
        name = "Format Range Extensions";
        for (const auto& k : kRext)
            if (k.flags == flags) name = k.name;
        if (p.constraints & 0x04) name += (p.constraints & 0x02) ? " Still Picture" : " Intra";
        break;
    }
    case 5: name = "High Throughput"; break;
    case 6: name = "Multiview Main"; break;
    case 7: name = "Scalable Main"; break;
    case 8: name = "3D Main"; break;
    case 9: name = "Screen Content Coding"; break;
    case 10: name = "Scalable Format Range Extensions"; break;
    case 11: name = "High Throughput Screen Content Coding"; break;
    default: name = "profile_idc"; break;
    }
    return name + " (" + std::to_string(p.profileIdc) + ")";
}

bool ParseH265Vps(const uint8_t* rbsp, size_t n, H265Vps& v, std::string& error) {
    v = H265Vps();
    BitReader r(rbsp, n);
    r.Skip(16, "NAL unit header");
    v.id = static_cast<int>(r.U(4, "vps_video_parameter_set_id"));
    r.U(2, "vps base layer flags");
    r.U(6, "vps_max_layers_minus1");
    v.maxSubLayers = static_cast<int>(r.U(3, "vps_max_sub_layers_minus1")) + 1;
    if (r.Ok() && v.maxSubLayers > 7) r.Fail("vps_max_sub_layers_minus1 7 out of range 0..6");
    r.Flag();  // vps_temporal_id_nesting_flag
    r.Expect(16, 0xFFFF, "vps_reserved_0xffff_16bits");
    ProfileTierLevel(r, v.maxSubLayers - 1, v.ptl);
    const bool allSubLayers = r.Flag();
    for (int i = allSubLayers ? 0 : v.maxSubLayers - 1; i < v.maxSubLayers && r.Ok(); ++i) {
        const uint32_t dpb = r.Ue("vps_max_dec_pic_buffering_minus1", 15);
        r.Ue("vps_max_num_reorder_pics", dpb);
        r.Ue("vps_max_latency_increase_plus1", 0xFFFFFFFEu);
    }
    const int maxLayerId = static_cast<int>(r.U(6, "vps_max_layer_id"));
    const uint32_t layerSets = r.Ue("vps_num_layer_sets_minus1", 1023) + 1;
    r.Skip(int64_t{layerSets - 1} * (maxLayerId + 1), "layer_id_included_flag");
    v.timing = r.Flag();
    if (v.timing) {
        v.unitsInTick = r.U(32, "vps_num_units_in_tick");
        v.timeScale = r.U(32, "vps_time_scale");
        if (r.Flag()) r.Ue("vps_num_ticks_poc_diff_one_minus1", 0xFFFFFFFEu);
        const uint32_t hrds = r.Ue("vps_num_hrd_parameters", layerSets);
        for (uint32_t i = 0; i < hrds && r.Ok(); ++i) {
            r.Ue("hrd_layer_set_idx", layerSets - 1);
            const bool common = i == 0 ? true : r.Flag();
            H265Hrd h;
            Hrd(r, common, v.maxSubLayers - 1, h);
        }
    }
    if (!r.Ok()) return error = r.Error(), false;
    v.valid = true;
    return true;
}

bool ParseH265Sps(const uint8_t* rbsp, size_t n, H265Sps& s, std::string& error) {
    s = H265Sps();
    BitReader r(rbsp, n);
    r.Skip(16, "NAL unit header");
    s.vpsId = static_cast<int>(r.U(4, "sps_video_parameter_set_id"));
    s.maxSubLayers = static_cast<int>(r.U(3, "sps_max_sub_layers_minus1")) + 1;
    if (r.Ok() && s.maxSubLayers > 7) r.Fail("sps_max_sub_layers_minus1 7 out of range 0..6");
    r.Flag();  // sps_temporal_id_nesting_flag
    ProfileTierLevel(r, s.maxSubLayers - 1, s.ptl);
    s.id = static_cast<int>(r.Ue("sps_seq_parameter_set_id", 15));
    s.chromaFormatIdc = static_cast<int>(r.Ue("chroma_format_idc", 3));
    if (s.chromaFormatIdc == 3) s.separateColourPlane = r.Flag();
    // 16888: the widest picture any level allows, sqrt(8 * MaxLumaPs) at MaxLumaPs 35651584.
    s.width = static_cast<int>(r.Ue("pic_width_in_luma_samples", 16888));
    s.height = static_cast<int>(r.Ue("pic_height_in_luma_samples", 16888));
    if (r.Ok() && (s.width == 0 || s.height == 0)) r.Fail("picture size of 0");
    if (r.Flag()) {  // conformance_window_flag
        const int64_t unitX = (s.chromaFormatIdc == 1 || s.chromaFormatIdc == 2) && !s.separateColourPlane ? 2 : 1;
        const int64_t unitY = s.chromaFormatIdc == 1 ? 2 : 1;
        int64_t c[4];
        for (int64_t& v : c) v = r.Ue("conf_win_offset", 16888);
        if (r.Ok() && (unitX * (c[0] + c[1]) >= s.width || unitY * (c[2] + c[3]) >= s.height))
            r.Fail("conformance window leaves no picture");
        if (r.Ok())
            for (int i = 0; i < 4; ++i) s.conf[i] = static_cast<int>(c[i] * (i < 2 ? unitX : unitY));
    }
    s.bitDepthLuma = static_cast<int>(r.Ue("bit_depth_luma_minus8", 8)) + 8;
    s.bitDepthChroma = static_cast<int>(r.Ue("bit_depth_chroma_minus8", 8)) + 8;
    s.log2MaxPocLsb = static_cast<int>(r.Ue("log2_max_pic_order_cnt_lsb_minus4", 12)) + 4;
    const bool allSubLayers = r.Flag();
    for (int i = allSubLayers ? 0 : s.maxSubLayers - 1; i < s.maxSubLayers && r.Ok(); ++i) {
        s.maxDecPicBuffering = static_cast<int>(r.Ue("sps_max_dec_pic_buffering_minus1", 15)) + 1;
        s.maxNumReorder = static_cast<int>(r.Ue("sps_max_num_reorder_pics", static_cast<uint32_t>(s.maxDecPicBuffering - 1)));
        r.Ue("sps_max_latency_increase_plus1", 0xFFFFFFFEu);
    }
    s.log2MinCb = static_cast<int>(r.Ue("log2_min_luma_coding_block_size_minus3", 3)) + 3;
    s.log2Ctb = s.log2MinCb + static_cast<int>(r.Ue("log2_diff_max_min_luma_coding_block_size", static_cast<uint32_t>(6 - s.log2MinCb)));
    const int log2MinTb = static_cast<int>(r.Ue("log2_min_luma_transform_block_size_minus2", 3)) + 2;
    if (r.Ok() && log2MinTb >= s.log2MinCb) r.Fail("minimum transform block not smaller than the minimum coding block");
    const int log2MaxTb = log2MinTb + static_cast<int>(r.Ue("log2_diff_max_min_luma_transform_block_size", 3));
    if (r.Ok() && log2MaxTb > (s.log2Ctb < 5 ? s.log2Ctb : 5)) r.Fail("maximum transform block larger than allowed");
    r.Ue("max_transform_hierarchy_depth_inter", static_cast<uint32_t>(s.log2Ctb - log2MinTb));
    r.Ue("max_transform_hierarchy_depth_intra", static_cast<uint32_t>(s.log2Ctb - log2MinTb));
    if (r.Ok() && (s.width % (1 << s.log2MinCb) || s.height % (1 << s.log2MinCb)))
        r.Fail("picture size not a multiple of the minimum coding block");
    if (r.Flag() && r.Flag()) ScalingListData(r);  // scaling_list_enabled_flag, sps_scaling_list_data_present_flag
    r.Flag();  // amp_enabled_flag
    r.Flag();  // sample_adaptive_offset_enabled_flag
    if (r.Flag()) {  // pcm_enabled_flag
        r.U(8, "pcm_sample_bit_depths");
        r.Ue("log2_min_pcm_luma_coding_block_size_minus3", 2);
        r.Ue("log2_diff_max_min_pcm_luma_coding_block_size", 3);
        r.Flag();
    }
    s.numShortTermRps = static_cast<int>(r.Ue("num_short_term_ref_pic_sets", 64));
    int numDeltaPocs[64] = {};
    for (int i = 0; i < s.numShortTermRps && r.Ok(); ++i)
        numDeltaPocs[i] = ShortTermRps(r, i, numDeltaPocs, s.maxDecPicBuffering - 1);
    if (r.Flag()) {  // long_term_ref_pics_present_flag
        const uint32_t count = r.Ue("num_long_term_ref_pics_sps", 32);
        r.Skip(int64_t{count} * (s.log2MaxPocLsb + 1), "lt_ref_pic_poc_lsb_sps");
    }
    r.Flag();  // sps_temporal_mvp_enabled_flag
    r.Flag();  // strong_intra_smoothing_enabled_flag
    if (!r.Ok()) return error = r.Error(), false;
    s.valid = true;
    if (r.Flag()) {  // vui_parameters_present_flag
        Vui(r, s);
        if (!r.Ok()) return error = "VUI: " + r.Error(), true;
    }
    if (r.Flag()) {  // sps_extension_present_flag
        s.rangeExtension = r.Flag();
        const uint32_t others = r.U(7, "sps extension flags");
        if (s.rangeExtension) r.U(9, "sps_range_extension");
        if (!r.Ok()) return error = r.Error(), true;
        if (others) return true;  // extensions this tool does not read
    }
    r.TrailingBits();
    if (!r.Ok()) return error = r.Error(), true;
    return true;
}

bool ParseH265Pps(const uint8_t* rbsp, size_t n, const H265Sps* spsTable, H265Pps& p, std::string& error) {
    p = H265Pps();
    BitReader r(rbsp, n);
    r.Skip(16, "NAL unit header");
    p.id = static_cast<int>(r.Ue("pps_pic_parameter_set_id", 63));
    p.spsId = static_cast<int>(r.Ue("pps_seq_parameter_set_id", 15));
    if (!r.Ok()) return error = r.Error(), false;
    const H265Sps& sps = spsTable[p.spsId];
    if (!sps.valid) return error = Missing("SPS", p.spsId), false;
    p.dependentSliceSegments = r.Flag();
    p.outputFlagPresent = r.Flag();
    p.numExtraSliceHeaderBits = static_cast<int>(r.U(3, "num_extra_slice_header_bits"));
    r.Flag();  // sign_data_hiding_enabled_flag
    r.Flag();  // cabac_init_present_flag
    r.Ue("num_ref_idx_l0_default_active_minus1", 14);
    r.Ue("num_ref_idx_l1_default_active_minus1", 14);
    r.Se("init_qp_minus26", -(26 + 6 * (sps.bitDepthLuma - 8)), 25);
    r.Flag();  // constrained_intra_pred_flag
    const bool transformSkip = r.Flag();
    if (r.Flag()) r.Ue("diff_cu_qp_delta_depth", static_cast<uint32_t>(sps.log2Ctb - sps.log2MinCb));
    r.Se("pps_cb_qp_offset", -12, 12);
    r.Se("pps_cr_qp_offset", -12, 12);
    r.Flag();  // pps_slice_chroma_qp_offsets_present_flag
    r.Flag();  // weighted_pred_flag
    r.Flag();  // weighted_bipred_flag
    r.Flag();  // transquant_bypass_enabled_flag
    const bool tiles = r.Flag();
    r.Flag();  // entropy_coding_sync_enabled_flag
    if (tiles) {
        const int64_t ctb = int64_t{1} << sps.log2Ctb;
        const uint32_t ctbCols = static_cast<uint32_t>((sps.width + ctb - 1) / ctb);
        const uint32_t ctbRows = static_cast<uint32_t>((sps.height + ctb - 1) / ctb);
        const uint32_t cols = r.Ue("num_tile_columns_minus1", ctbCols - 1) + 1;
        const uint32_t rows = r.Ue("num_tile_rows_minus1", ctbRows - 1) + 1;
        if (!r.Flag()) {  // uniform_spacing_flag
            for (uint32_t i = 0; i + 1 < cols && r.Ok(); ++i) r.Ue("column_width_minus1", ctbCols - 1);
            for (uint32_t i = 0; i + 1 < rows && r.Ok(); ++i) r.Ue("row_height_minus1", ctbRows - 1);
        }
        r.Flag();  // loop_filter_across_tiles_enabled_flag
    }
    r.Flag();  // pps_loop_filter_across_slices_enabled_flag
    if (r.Flag()) {  // deblocking_filter_control_present_flag
        r.Flag();
        if (!r.Flag()) {
            r.Se("pps_beta_offset_div2", -6, 6);
            r.Se("pps_tc_offset_div2", -6, 6);
        }
    }
    if (r.Flag()) ScalingListData(r);
    r.Flag();  // lists_modification_present_flag
    r.Ue("log2_parallel_merge_level_minus2", static_cast<uint32_t>(sps.log2Ctb - 2));
    r.Flag();  // slice_segment_header_extension_present_flag
    if (r.Flag()) {  // pps_extension_present_flag
        const bool range = r.Flag();
        const uint32_t others = r.U(7, "pps extension flags");
        if (range) {
            if (transformSkip) r.Ue("log2_max_transform_skip_block_size_minus2", 3);
            r.Flag();  // cross_component_prediction_enabled_flag
            if (r.Flag()) {
                r.Ue("diff_cu_chroma_qp_offset_depth", static_cast<uint32_t>(sps.log2Ctb - sps.log2MinCb));
                const uint32_t len = r.Ue("chroma_qp_offset_list_len_minus1", 5) + 1;
                for (uint32_t i = 0; i < len && r.Ok(); ++i) {
                    r.Se("cb_qp_offset_list", -12, 12);
                    r.Se("cr_qp_offset_list", -12, 12);
                }
            }
            const uint32_t lumaMax = static_cast<uint32_t>(sps.bitDepthLuma > 10 ? sps.bitDepthLuma - 10 : 0);
            const uint32_t chromaMax = static_cast<uint32_t>(sps.bitDepthChroma > 10 ? sps.bitDepthChroma - 10 : 0);
            r.Ue("log2_sao_offset_scale_luma", lumaMax);
            r.Ue("log2_sao_offset_scale_chroma", chromaMax);
        }
        if (others) {
            if (!r.Ok()) return error = r.Error(), false;
            p.valid = true;
            return true;
        }
    }
    r.TrailingBits();
    if (!r.Ok()) return error = r.Error(), false;
    p.valid = true;
    return true;
}

bool ParseH265SliceHeader(const uint8_t* rbsp, size_t n, const H265Sps* spsTable, const H265Pps* ppsTable,
                          H265Slice& s, std::string& error) {
    s = H265Slice();
    BitReader r(rbsp, n);
    const uint32_t header = r.U(16, "NAL unit header");
    s.nalType = static_cast<int>((header >> 9) & 0x3F);
    s.layerId = static_cast<int>((header >> 3) & 0x3F);
    s.temporalId = static_cast<int>(header & 7) - 1;
    s.firstInPicture = r.Flag();
    if (s.nalType >= 16 && s.nalType <= 23) r.Flag();  // no_output_of_prior_pics_flag
    s.ppsId = static_cast<int>(r.Ue("slice_pic_parameter_set_id", 63));
    if (!r.Ok()) return error = r.Error(), false;
    const H265Pps& pps = ppsTable[s.ppsId];
    if (!pps.valid) return error = Missing("PPS", s.ppsId), false;
    const H265Sps& sps = spsTable[pps.spsId];
    if (!sps.valid) return error = Missing("SPS", pps.spsId), false;
    if (!s.firstInPicture) {
        if (pps.dependentSliceSegments) s.dependent = r.Flag();
        const int64_t ctbs = sps.CtbCount();
        const uint32_t address = r.U(CeilLog2(ctbs), "slice_segment_address");
        if (r.Ok() && (address == 0 || address >= ctbs))
            r.Fail("slice_segment_address " + std::to_string(address) + " out of range 1.." + std::to_string(ctbs - 1));
    }
    if (!s.dependent) {
        r.Skip(pps.numExtraSliceHeaderBits, "slice_reserved_flag");
        s.sliceType = static_cast<int>(r.Ue("slice_type", 2));
        if (pps.outputFlagPresent) r.Flag();
        if (sps.separateColourPlane) r.U(2, "colour_plane_id");
        if (s.nalType != 19 && s.nalType != 20) s.pocLsb = static_cast<int>(r.U(sps.log2MaxPocLsb, "slice_pic_order_cnt_lsb"));
        if (r.Ok() && s.nalType >= 16 && s.nalType <= 23 && s.layerId == 0 && s.sliceType != 2)
            r.Fail("IRAP picture with a slice that is not intra");
    }
    if (!r.Ok()) return error = r.Error(), false;
    return true;
}

bool ParseH265Sei(const uint8_t* rbsp, size_t n, bool capped, const H265Sps* sps, SeiFacts& facts,
                  std::string& error) {
    if (n < 2) return error = "empty SEI", false;
    return ForEachSeiMessage(
        rbsp + 2, n - 2, capped,
        [&](int type, const uint8_t* p, size_t size) {
            std::string why;
            if (type == 1) {  // pic_timing
                if (!sps || !sps->frameFieldInfo) return true;
                BitReader r(p, size);
                const int ps = static_cast<int>(r.U(4, "pic_struct"));
                if (r.Ok() && ps > 12) r.Fail("pic_struct " + std::to_string(ps) + " out of range 0..12");
                if (!r.Ok()) return error = "picture timing: " + r.Error(), false;
                facts.picStruct = ps;
                return true;
            }
            if (!ParseCommonSei(type, p, size, facts, why)) return error = why, false;
            return true;
        },
        error);
}

// --- The stream ----------------------------------------------------------------------

H265Parser::H265Parser(StreamModel& model, PictureSink& sink)
    : CodecParser(model, sink), m_vps(16), m_sps(16), m_pps(64) {}

size_t H265Parser::Want(uint32_t code) const {
    const int type = static_cast<int>((code >> 1) & 0x3F);
    if (type < 32) return 160;  // slice segment headers: the fields read here
    switch (type) {
    case 32: case 33: case 34: return kMaxHeaderUnit;
    case 39: case 40: return 16 * 1024;
    default: return 5;
    }
}

void H265Parser::OnUnit(const Unit& u) {
    if (u.have < 5) return;
    const int type = (u.data[3] >> 1) & 0x3F;
    const int layer = ((u.data[3] & 1) << 5) | (u.data[4] >> 3);
    if (u.data[3] & 0x80) return Invalid("NAL unit", u, "forbidden_zero_bit is 1");
    if ((u.data[4] & 7) == 0) return Invalid("NAL unit", u, "nuh_temporal_id_plus1 is 0");
    if (layer != 0) return;  // layers above the base layer (scalable, multiview) are not read
    // An access unit begins at its first start code; a zero byte before it (the 4-byte form)
    // is left with the unit before, as ffmpeg cuts HEVC packets.
    const int64_t start = u.offset;
    // VPS, SPS, PPS, AUD, prefix SEI and reserved types can only begin an access unit.
    if ((type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) || (type >= 48 && type <= 55) ||
        u.auStart)
        if (m_auStart < 0) m_auStart = start;
    const bool capped = u.Capped();
    std::string why;
    const std::string tooLong = "longer than " + std::to_string(kMaxHeaderUnit) + " bytes";
    switch (type) {
    case 32: {
        if (capped) return Invalid("VPS", u, tooLong);
        Unescape(u.data + 3, u.have - 3, m_rbsp);
        H265Vps vps;
        if (ParseH265Vps(m_rbsp.data(), m_rbsp.size(), vps, why)) m_vps[vps.id] = vps;
        else Invalid("VPS", u, why);
        return;
    }
    case 33: {
        if (capped) return Invalid("SPS", u, tooLong);
        Unescape(u.data + 3, u.have - 3, m_rbsp);
        H265Sps sps;
        const bool kept = ParseH265Sps(m_rbsp.data(), m_rbsp.size(), sps, why);
        if (!why.empty()) Invalid("SPS", u, why);
        if (kept) {
            m_sps[sps.id] = sps;
            m_lastSps = sps.id;
        }
        return;
    }
    case 34: {
        if (capped) return Invalid("PPS", u, tooLong);
        Unescape(u.data + 3, u.have - 3, m_rbsp);
        H265Pps pps;
        if (ParseH265Pps(m_rbsp.data(), m_rbsp.size(), m_sps.data(), pps, why)) {
            m_pps[pps.id] = pps;
            m_anyPps = true;
        } else {
            Invalid("PPS", u, why);
        }
        return;
    }
    case 39: case 40: {
        Unescape(u.data + 3, u.have - 3, m_rbsp);
        const int id = m_activeSps >= 0 ? m_activeSps : m_lastSps;
        if (!ParseH265Sei(m_rbsp.data(), m_rbsp.size(), capped, id >= 0 ? &m_sps[id] : nullptr, m_sei, why))
            Invalid("SEI", u, why);
        return;
    }
    case 36: case 37:  // end of sequence, end of bitstream: the next IRAP starts afresh
        m_firstPicture = true;
        return;
    default:
        if (type <= 9 || (type >= 16 && type <= 21)) OnSlice(u);
        return;
    }
}

void H265Parser::OnSlice(const Unit& u) {
    Unescape(u.data + 3, u.have - 3, m_rbsp);
    H265Slice s;
    std::string why;
    if (!ParseH265SliceHeader(m_rbsp.data(), m_rbsp.size(), m_sps.data(), m_pps.data(), s, why)) {
        // A stream cut anywhere (a capture, a file split) starts with slices whose parameter
        // sets come later: those are counted, not reported.
        if (!m_anyPps) ++m_model.leadingUnits;
        else if (!(u.Capped() && why.find("cut off") != std::string::npos)) Invalid("slice segment header", u, why);
        return;
    }
    if (!s.firstInPicture) return;
    const int64_t start = u.offset;
    const H265Sps& sps = m_sps[m_pps[s.ppsId].spsId];
    if (m_activeSps != sps.id) {
        if (m_activeSps >= 0) CompareSequence(sps.Width(), sps.Height(), sps.chromaFormatIdc, sps.bitDepthLuma);
        else Activate(sps);
        m_activeSps = sps.id;
    }

    Picture pic;
    pic.offset = m_auStart >= 0 ? m_auStart : start;
    m_auStart = -1;
    static const char kTypes[] = {'B', 'P', 'I'};
    pic.type = kTypes[s.sliceType];
    const int t = s.nalType;
    const bool irap = t >= 16 && t <= 23;
    pic.key = irap;
    if (t == 19 || t == 20) pic.kind = "IDR";
    else if (t == 21) pic.kind = "CRA";
    else if (t >= 16 && t <= 18) pic.kind = "BLA";
    else if (t == 8 || t == 9) pic.kind = "RASL";
    else if (t == 6 || t == 7) pic.kind = "RADL";
    if (irap) {
        // RASL pictures refer to pictures before their CRA: a decoder that starts at the CRA
        // (or meets a BLA) drops them. IDR pictures have none.
        m_raslSkipped = t <= 18 || (t == 21 && m_firstPicture);
        pic.closedGop = t != 21 || m_firstPicture;
        m_firstPicture = false;
    } else if (m_firstPicture) {
        pic.output = false;  // before the first IRAP: nothing to decode it from
    }
    if ((t == 8 || t == 9) && m_raslSkipped) pic.output = false;

    // Field pictures, when the VUI says so, with their parity in the picture timing SEI.
    if (sps.fieldSeq && m_sei.picStruct >= 0) {
        const int ps = m_sei.picStruct;
        const int parity = (ps == 1 || ps == 9 || ps == 11) ? 1 : (ps == 2 || ps == 10 || ps == 12) ? 2 : 0;
        if (parity) {
            pic.structure = parity;
            pic.secondField = m_fieldPending && m_firstFieldParity != parity;
            m_fieldPending = !pic.secondField;
            m_firstFieldParity = parity;
        }
    } else {
        m_fieldPending = false;
    }
    if (!m_fieldOrderKnown) {
        m_fieldOrderKnown = true;
        const int ps = m_sei.picStruct;
        if (pic.structure != 3) m_model.fieldOrder = pic.structure == 1 ? "tt" : "bb";
        else if (ps == 3 || ps == 5) m_model.fieldOrder = "tt";
        else if (ps == 4 || ps == 6) m_model.fieldOrder = "bb";
        else if (sps.ptl.progressiveSource && !sps.ptl.interlacedSource) m_model.fieldOrder = "progressive";
    }
    TakeSei(m_sei);
    BeginPicture(pic);
}

void H265Parser::Finish(int64_t end) {
    EndPicture(end);
    if (!m_model.seq.present)
        for (const H265Sps& s : m_sps)
            if (s.valid) {
                Activate(s);
                break;
            }
}

void H265Parser::Activate(const H265Sps& s) {
    SequenceFacts& f = m_model.seq;
    f = SequenceFacts();
    f.present = true;
    f.profileIdc = s.ptl.profileIdc;
    f.profile = H265ProfileName(s.ptl.profileIdc);
    f.profileText = H265ProfileText(s.ptl);
    f.level = s.ptl.levelIdc;
    char level[48];
    if (s.ptl.levelIdc % 30 == 0)
        std::snprintf(level, sizeof level, "%d (%s tier)", s.ptl.levelIdc / 30, s.ptl.tier ? "High" : "Main");
    else
        std::snprintf(level, sizeof level, "%d.%d (%s tier)", s.ptl.levelIdc / 30, s.ptl.levelIdc % 30 / 3,
                      s.ptl.tier ? "High" : "Main");
    f.levelText = level;
    f.codedWidth = s.width;
    f.codedHeight = s.height;
    f.cropLeft = s.conf[0];
    f.cropRight = s.conf[1];
    f.cropTop = s.conf[2];
    f.cropBottom = s.conf[3];
    f.width = s.Width();
    f.height = s.Height();
    f.chromaFormat = s.chromaFormatIdc;
    f.separateColourPlanes = s.separateColourPlane;
    f.bitDepthLuma = s.bitDepthLuma;
    f.bitDepthChroma = s.bitDepthChroma;
    f.interlacedCoding = s.fieldSeq;
    f.fieldSeq = s.fieldSeq;
    const H265Vps& vps = m_vps[s.vpsId];
    if (s.timing) f.frameRate = Reduce(s.timeScale, s.unitsInTick);
    else if (vps.valid && vps.timing && vps.unitsInTick && vps.timeScale) f.frameRate = Reduce(vps.timeScale, vps.unitsInTick);
    ApplyVuiCommon(s.video, f);
    f.colourRange = s.video.fullRange > 0 ? 1 : 0;  // limited unless said otherwise
    if (s.chromaFormatIdc == 1) f.chromaLocation = s.video.chromaLocTop >= 0 ? s.video.chromaLocTop + 1 : 1;
    f.refs = 1;
    f.hasBFrames = s.maxNumReorder;
    f.maxDecFrameBuffering = s.maxDecPicBuffering;
    f.bitRate = s.hrd.bitRate;
    f.bufferSize = s.hrd.cpbSize;
    f.picStructPresent = s.frameFieldInfo;
}

}  // namespace qvutil
