#include "Av1Parser.h"

#include "Rbsp.h"

#include <algorithm>
#include <cstdio>

namespace qvutil {

namespace {

enum ObuType { kSequenceHeader = 1, kTemporalDelimiter = 2, kFrameHeader = 3, kFrame = 6 };

// uvlc(): values past 2^32 - 2 saturate, as the syntax defines them.
uint32_t Uvlc(BitReader& r, const char* name) {
    int zeros = 0;
    while (r.Ok() && !r.Flag()) ++zeros;
    if (zeros >= 32) return UINT32_MAX;
    return r.U(zeros, name) + ((1u << zeros) - 1);
}

void ColourConfig(BitReader& r, Av1SequenceHeader& s) {
    const bool high = r.Flag();  // high_bitdepth
    if (s.profile == 2 && high) s.bitDepth = r.Flag() ? 12 : 10;  // twelve_bit
    else s.bitDepth = high ? 10 : 8;
    s.monochrome = s.profile == 1 ? false : r.Flag();
    s.colourDescription = r.Flag();
    if (s.colourDescription) {
        s.primaries = static_cast<int>(r.U(8, "color_primaries"));
        s.transfer = static_cast<int>(r.U(8, "transfer_characteristics"));
        s.matrix = static_cast<int>(r.U(8, "matrix_coefficients"));
    }
    if (s.monochrome) {
        s.fullRange = r.Flag();
        s.subsamplingX = s.subsamplingY = 1;
        return;
    }
    if (s.primaries == 1 && s.transfer == 13 && s.matrix == 0) {  // sRGB
        s.fullRange = true;
        s.subsamplingX = s.subsamplingY = 0;
    } else {
        s.fullRange = r.Flag();
        if (s.profile == 0) {
            s.subsamplingX = s.subsamplingY = 1;
        } else if (s.profile == 1) {
            s.subsamplingX = s.subsamplingY = 0;
        } else if (s.bitDepth == 12) {
            s.subsamplingX = static_cast<int>(r.U(1, "subsampling_x"));
            s.subsamplingY = s.subsamplingX ? static_cast<int>(r.U(1, "subsampling_y")) : 0;
        } else {
            s.subsamplingX = 1, s.subsamplingY = 0;
        }
        // 3 is reserved; dav1d decodes such a stream and shows the position as unknown.
        if (s.subsamplingX && s.subsamplingY) s.chromaPosition = static_cast<int>(r.U(2, "chroma_sample_position"));
    }
    r.Flag();  // separate_uv_delta_q
}

char TypeChar(int frameType) {
    static const char kTypes[] = {'I', 'P', 'I', 'S'};  // switch frames are ffmpeg's SP
    return frameType >= 0 && frameType <= 3 ? kTypes[frameType] : '?';
}

const char* KindOf(int frameType) {
    return frameType == kAv1KeyFrame ? "KEY" : frameType == kAv1IntraOnlyFrame ? "INTRA"
                                          : frameType == kAv1SwitchFrame   ? "SWITCH" : "";
}

// The reason given for a frame that needs a reference slot nothing has filled.
std::string EmptySlot(const char* verb, int slot) {
    return std::string(verb) + " reference slot " + std::to_string(slot) + ", which is empty";
}

int ChromaOf(const Av1SequenceHeader& s) {
    if (s.monochrome) return 0;
    if (s.subsamplingX) return s.subsamplingY ? 1 : 2;
    return 3;
}

}  // namespace

bool ParseAv1C(const uint8_t* p, size_t n, Av1Config& c, std::string& error) {
    c = Av1Config();
    if (n == 0) return error = "empty", false;
    if (!(p[0] & 0x80)) return true;  // no marker: OBUs from the first byte
    c.version = p[0] & 0x7F;
    if (c.version != 1) return error = "av1C version " + std::to_string(c.version) + " is unknown", false;
    if (n < 4) return error = "av1C cut off after " + std::to_string(n) + " bytes", false;
    c.profile = p[1] >> 5;
    c.level = p[1] & 0x1F;
    c.tier = p[2] >> 7;
    const bool high = (p[2] >> 6) & 1, twelve = (p[2] >> 5) & 1;
    c.bitDepth = twelve ? 12 : high ? 10 : 8;
    c.monochrome = (p[2] >> 4) & 1;
    c.subsamplingX = (p[2] >> 3) & 1;
    c.subsamplingY = (p[2] >> 2) & 1;
    c.chromaPosition = p[2] & 3;
    if (p[3] & 0x10) c.presentationDelay = (p[3] & 0x0F) + 1;
    c.obuOffset = 4;
    return true;
}

bool ParseAv1ObuHeader(const uint8_t* p, size_t n, uint64_t left, Av1Obu& o, std::string& error) {
    o = Av1Obu();
    BitReader r(p, n);
    if (r.Flag()) r.Fail("obu_forbidden_bit is 1");
    o.type = static_cast<int>(r.U(4, "obu_type"));
    o.extension = r.Flag();
    const bool hasSize = r.Flag();
    r.Flag();  // obu_reserved_1bit, which decoders ignore
    if (o.extension) {
        o.temporalId = static_cast<int>(r.U(3, "temporal_id"));
        o.spatialId = static_cast<int>(r.U(2, "spatial_id"));
        r.U(3, "extension_header_reserved_3bits");
    }
    if (hasSize) {
        // leb128(): at most 8 bytes, and a value that fits in 32 bits.
        uint64_t v = 0;
        for (int i = 0; i < 8 && r.Ok(); ++i) {
            const uint32_t b = r.U(8, "obu_size");
            v |= uint64_t{b & 0x7F} << (7 * i);
            if (!(b & 0x80)) break;
        }
        if (r.Ok() && v > UINT32_MAX) r.Fail("obu_size " + std::to_string(v) + " above 2^32 - 1");
        o.size = v;
    }
    if (!r.Ok()) return error = r.Error(), false;
    o.headerSize = static_cast<size_t>(r.BitPos() / 8);
    if (o.headerSize > left) return error = "OBU header runs past the end of the sample", false;
    if (!hasSize) o.size = left - o.headerSize;
    if (o.size > left - o.headerSize)
        return error = "OBU of " + std::to_string(o.size) + " bytes runs past the end of the sample", false;
    return true;
}

bool ParseAv1SequenceHeader(const uint8_t* p, size_t n, Av1SequenceHeader& s, std::string& error) {
    s = Av1SequenceHeader();
    BitReader r(p, n);
    s.profile = static_cast<int>(r.U(3, "seq_profile"));
    if (r.Ok() && s.profile > 2) r.Fail("seq_profile " + std::to_string(s.profile) + " is reserved");
    s.stillPicture = r.Flag();
    s.reducedStill = r.Flag();
    if (r.Ok() && s.reducedStill && !s.stillPicture) r.Fail("reduced_still_picture_header without still_picture");
    if (s.reducedStill) {
        s.level[0] = static_cast<int>(r.U(5, "seq_level_idx"));
    } else {
        int delayLength = 0;
        s.timingInfo = r.Flag();
        if (s.timingInfo) {
            s.unitsInDisplayTick = r.U(32, "num_units_in_display_tick");
            s.timeScale = r.U(32, "time_scale");
            s.equalPictureInterval = r.Flag();
            if (s.equalPictureInterval) Uvlc(r, "num_ticks_per_picture_minus_1");
            s.decoderModelInfo = r.Flag();
            if (s.decoderModelInfo) {
                delayLength = static_cast<int>(r.U(5, "buffer_delay_length_minus_1")) + 1;
                r.U(32, "num_units_in_decoding_tick");
                s.bufferRemovalTimeLength = static_cast<int>(r.U(5, "buffer_removal_time_length_minus_1")) + 1;
                s.presentationTimeLength = static_cast<int>(r.U(5, "frame_presentation_time_length_minus_1")) + 1;
            }
        }
        const bool displayDelay = r.Flag();  // initial_display_delay_present_flag
        s.operatingPoints = static_cast<int>(r.U(5, "operating_points_cnt_minus_1")) + 1;
        for (int i = 0; i < s.operatingPoints && r.Ok(); ++i) {
            s.opIdc[i] = static_cast<int>(r.U(12, "operating_point_idc"));
            s.level[i] = static_cast<int>(r.U(5, "seq_level_idx"));
            if (s.level[i] > 7) s.tier[i] = static_cast<int>(r.U(1, "seq_tier"));
            if (s.decoderModelInfo) {
                s.decoderModelPresent[i] = r.Flag();
                if (s.decoderModelPresent[i]) {
                    r.Skip(2 * delayLength, "decoder_buffer_delay, encoder_buffer_delay");
                    r.Flag();  // low_delay_mode_flag
                }
            }
            if (displayDelay && r.Flag()) r.U(4, "initial_display_delay_minus_1");
        }
    }
    s.frameWidthBits = static_cast<int>(r.U(4, "frame_width_bits_minus_1")) + 1;
    s.frameHeightBits = static_cast<int>(r.U(4, "frame_height_bits_minus_1")) + 1;
    s.maxWidth = static_cast<int>(r.U(s.frameWidthBits, "max_frame_width_minus_1")) + 1;
    s.maxHeight = static_cast<int>(r.U(s.frameHeightBits, "max_frame_height_minus_1")) + 1;
    s.frameIdNumbers = s.reducedStill ? false : r.Flag();
    if (s.frameIdNumbers) {
        s.deltaFrameIdLength = static_cast<int>(r.U(4, "delta_frame_id_length_minus_2")) + 2;
        s.frameIdLength = static_cast<int>(r.U(3, "additional_frame_id_length_minus_1")) + 1 + s.deltaFrameIdLength;
        if (r.Ok() && s.frameIdLength > 16) r.Fail("frame id length " + std::to_string(s.frameIdLength) + " above 16");
    }
    r.Flag();  // use_128x128_superblock
    r.Flag();  // enable_filter_intra
    r.Flag();  // enable_intra_edge_filter
    if (!s.reducedStill) {
        r.Flag();  // enable_interintra_compound
        r.Flag();  // enable_masked_compound
        r.Flag();  // enable_warped_motion
        r.Flag();  // enable_dual_filter
        s.enableOrderHint = r.Flag();
        if (s.enableOrderHint) {
            r.Flag();  // enable_jnt_comp
            r.Flag();  // enable_ref_frame_mvs
        }
        s.screenContentTools = r.Flag() ? 2 : static_cast<int>(r.U(1, "seq_force_screen_content_tools"));
        if (s.screenContentTools > 0) s.integerMv = r.Flag() ? 2 : static_cast<int>(r.U(1, "seq_force_integer_mv"));
        if (s.enableOrderHint) s.orderHintBits = static_cast<int>(r.U(3, "order_hint_bits_minus_1")) + 1;
    }
    s.enableSuperres = r.Flag();
    r.Flag();  // enable_cdef
    r.Flag();  // enable_restoration
    ColourConfig(r, s);
    s.filmGrain = r.Flag();
    if (!r.Ok()) return error = r.Error(), false;
    return true;
}

namespace {

// get_relative_dist() of two order hints.
int RelativeDist(const Av1SequenceHeader& s, int a, int b) {
    if (!s.enableOrderHint) return 0;
    const int diff = a - b, m = 1 << (s.orderHintBits - 1);
    return (diff & (m - 1)) - (diff & m);
}

// set_frame_refs(): a frame that names only its LAST and GOLDEN references gets the others
// from the order hints of what the slots hold.
void SetFrameRefs(const Av1SequenceHeader& s, const int hints[8], int orderHint, int last, int gold, int refIdx[7]) {
    std::fill(refIdx, refIdx + 7, -1);
    refIdx[0] = last;
    refIdx[3] = gold;
    bool used[8] = {};
    used[last] = used[gold] = true;
    const int cur = 1 << (s.orderHintBits - 1);
    int shifted[8];
    for (int i = 0; i < 8; ++i) shifted[i] = cur + RelativeDist(s, hints[i], orderHint);
    // The latest or earliest unused slot after (backward) or before the current frame.
    auto find = [&](bool backward, bool latest) {
        int ref = -1, best = 0;
        for (int i = 0; i < 8; ++i) {
            const int hint = shifted[i];
            if (used[i] || (hint >= cur) != backward) continue;
            if (ref < 0 || (latest ? hint >= best : hint < best)) ref = i, best = hint;
        }
        if (ref >= 0) used[ref] = true;
        return ref;
    };
    refIdx[6] = find(true, true);   // ALTREF
    refIdx[4] = find(true, false);  // BWDREF
    refIdx[5] = find(true, false);  // ALTREF2
    for (int i : {1, 2, 4, 5, 6})   // LAST2, LAST3, BWDREF, ALTREF2, ALTREF
        if (refIdx[i] < 0) refIdx[i] = find(false, true);
    int ref = -1, earliest = 0;
    for (int i = 0; i < 8; ++i)
        if (ref < 0 || shifted[i] < earliest) ref = i, earliest = shifted[i];
    for (int i = 0; i < 7; ++i)
        if (refIdx[i] < 0) refIdx[i] = ref;
}

// frame_size() with superres_params(), after the size itself is known or read.
void Superres(BitReader& r, const Av1SequenceHeader& s, Av1FrameHeader& h) {
    h.width = h.upscaledWidth;
    if (s.enableSuperres && r.Flag()) {  // use_superres
        const int denom = static_cast<int>(r.U(3, "coded_denom")) + 9;
        h.width = (h.upscaledWidth * 8 + denom / 2) / denom;
    }
}

void FrameSize(BitReader& r, const Av1SequenceHeader& s, bool sizeOverride, Av1FrameHeader& h) {
    if (sizeOverride) {
        h.upscaledWidth = static_cast<int>(r.U(s.frameWidthBits, "frame_width_minus_1")) + 1;
        h.height = static_cast<int>(r.U(s.frameHeightBits, "frame_height_minus_1")) + 1;
        if (r.Ok() && (h.upscaledWidth > s.maxWidth || h.height > s.maxHeight))
            r.Fail("frame size " + std::to_string(h.upscaledWidth) + "x" + std::to_string(h.height) +
                   " above the sequence's " + std::to_string(s.maxWidth) + "x" + std::to_string(s.maxHeight));
    } else {
        h.upscaledWidth = s.maxWidth;
        h.height = s.maxHeight;
    }
    Superres(r, s, h);
}

void RenderSize(BitReader& r, Av1FrameHeader& h) {
    if (r.Flag()) {  // render_and_frame_size_different
        h.renderWidth = static_cast<int>(r.U(16, "render_width_minus_1")) + 1;
        h.renderHeight = static_cast<int>(r.U(16, "render_height_minus_1")) + 1;
    } else {
        h.renderWidth = h.upscaledWidth;
        h.renderHeight = h.height;
    }
}

}  // namespace

bool ParseAv1FrameHeader(const uint8_t* p, size_t n, const Av1SequenceHeader& s, const Av1Obu& obu,
                         const Av1RefSlot refs[8], Av1FrameHeader& h, std::string& error) {
    h = Av1FrameHeader();
    BitReader r(p, n);
    const bool presentationTime = s.decoderModelInfo && !s.equalPictureInterval;
    if (s.reducedStill) {
        h.frameType = kAv1KeyFrame;
        h.show = true;
        h.errorResilient = true;
    } else {
        h.showExisting = r.Flag();
        if (h.showExisting) {
            h.showIndex = static_cast<int>(r.U(3, "frame_to_show_map_idx"));
            if (presentationTime) r.Skip(s.presentationTimeLength, "frame_presentation_time");
            if (s.frameIdNumbers) r.U(s.frameIdLength, "display_frame_id");
            if (!r.Ok()) return error = r.Error(), false;
            const Av1RefSlot& slot = refs[h.showIndex];
            h.frameType = slot.frameType;
            h.orderHint = slot.orderHint;
            h.upscaledWidth = h.width = slot.upscaledWidth;
            h.height = slot.height;
            h.renderWidth = slot.renderWidth;
            h.renderHeight = slot.renderHeight;
            // Showing a key frame again starts afresh: it fills every slot.
            h.refreshFlags = h.frameType == kAv1KeyFrame ? 0xFF : 0;
            return true;
        }
        h.frameType = static_cast<int>(r.U(2, "frame_type"));
        h.show = r.Flag();
        if (h.show && presentationTime) r.Skip(s.presentationTimeLength, "frame_presentation_time");
        h.showable = h.show ? h.frameType != kAv1KeyFrame : r.Flag();
        const bool forced = h.frameType == kAv1SwitchFrame || (h.frameType == kAv1KeyFrame && h.show);
        h.errorResilient = forced ? true : r.Flag();
    }
    const bool intra = h.frameType == kAv1KeyFrame || h.frameType == kAv1IntraOnlyFrame;
    r.Flag();  // disable_cdf_update
    const int screenContent = s.screenContentTools == 2 ? static_cast<int>(r.U(1, "allow_screen_content_tools"))
                                                        : s.screenContentTools;
    if (screenContent && s.integerMv == 2) r.Flag();  // force_integer_mv
    if (s.frameIdNumbers) r.U(s.frameIdLength, "current_frame_id");
    const bool sizeOverride = h.frameType == kAv1SwitchFrame ? true : s.reducedStill ? false : r.Flag();
    h.orderHint = static_cast<int>(r.U(s.orderHintBits, "order_hint"));
    if (!intra && !h.errorResilient) r.U(3, "primary_ref_frame");
    if (s.decoderModelInfo && r.Flag()) {  // buffer_removal_time_present_flag
        for (int op = 0; op < s.operatingPoints; ++op) {
            if (!s.decoderModelPresent[op]) continue;
            const int idc = s.opIdc[op];
            const bool inTemporal = (idc >> obu.temporalId) & 1, inSpatial = (idc >> (obu.spatialId + 8)) & 1;
            if (idc == 0 || (inTemporal && inSpatial)) r.Skip(s.bufferRemovalTimeLength, "buffer_removal_time");
        }
    }
    const bool all = h.frameType == kAv1SwitchFrame || (h.frameType == kAv1KeyFrame && h.show);
    h.refreshFlags = all ? 0xFF : static_cast<int>(r.U(8, "refresh_frame_flags"));
    int hints[8];
    for (int i = 0; i < 8; ++i) hints[i] = refs[i].orderHint;
    if ((!intra || h.refreshFlags != 0xFF) && h.errorResilient && s.enableOrderHint) {
        h.refOrderHints = true;
        for (int i = 0; i < 8; ++i)
            h.refOrderHint[i] = hints[i] = static_cast<int>(r.U(s.orderHintBits, "ref_order_hint"));
    }
    if (intra) {
        FrameSize(r, s, sizeOverride, h);
        RenderSize(r, h);
    } else {
        const bool shortSignaling = s.enableOrderHint && r.Flag();  // frame_refs_short_signaling
        if (shortSignaling) {
            const int last = static_cast<int>(r.U(3, "last_frame_idx"));
            const int gold = static_cast<int>(r.U(3, "gold_frame_idx"));
            SetFrameRefs(s, hints, h.orderHint, last, gold, h.refIdx);
        }
        for (int i = 0; i < 7; ++i) {
            if (!shortSignaling) h.refIdx[i] = static_cast<int>(r.U(3, "ref_frame_idx"));
            if (s.frameIdNumbers) r.U(s.deltaFrameIdLength, "delta_frame_id_minus_1");
        }
        if (sizeOverride && !h.errorResilient) {
            for (int i = 0; i < 7 && r.Ok(); ++i)
                if (r.Flag()) {  // found_ref
                    h.sizeFromRef = i;
                    break;
                }
        }
        if (h.sizeFromRef < 0) {
            FrameSize(r, s, sizeOverride, h);
            RenderSize(r, h);
        } else {
            const Av1RefSlot& slot = refs[h.refIdx[h.sizeFromRef]];
            h.upscaledWidth = slot.upscaledWidth;
            h.height = slot.height;
            h.renderWidth = slot.renderWidth;
            h.renderHeight = slot.renderHeight;
            Superres(r, s, h);
        }
    }
    if (!r.Ok()) return error = r.Error(), false;
    return true;
}

std::string Av1ProfileName(int profile) {
    static const char* const kNames[] = {"Main", "High", "Professional"};
    return profile >= 0 && profile <= 2 ? kNames[profile] : std::to_string(profile);
}

std::string Av1LevelText(int idx, int tier) {
    if (idx == 31) return "unconstrained";
    if (idx > 23) return "reserved (" + std::to_string(idx) + ")";
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d", 2 + (idx >> 2), idx & 3);
    std::string level = text;
    // Tiers begin at level 4.0.
    if (idx > 7) level += tier ? " (High tier)" : " (Main tier)";
    return level;
}

// --- The stream ----------------------------------------------------------------------

void Av1Parser::Invalid(const char* what, int64_t offset, const std::string& why) {
    m_model.Diagnose(std::string("invalid ") + what + " at offset " + std::to_string(offset) + ": " + why);
}

void Av1Parser::OnConfig(const uint8_t* p, size_t n) {
    if (n == 0) return;
    std::string why;
    if (!ParseAv1C(p, n, m_config, why)) {
        m_model.Diagnose("invalid av1C: " + why);
        return;
    }
    m_haveConfig = m_config.version >= 0;
    Shown shown;
    bool hidden = false;
    Walk(p + m_config.obuOffset, n - m_config.obuOffset, n - m_config.obuOffset, -1, true, shown, hidden);
}

size_t Av1Parser::Want() const {
    // A temporal unit's shown frame may follow a hidden one and all its tiles.
    return 1 << 20;
}

void Av1Parser::OnFrame(const Frame& f) {
    const size_t n = f.Readable();
    const bool whole = f.Whole();
    Shown shown;
    bool hidden = false;
    if (f.size == 0) Invalid("AV1 temporal unit", f.offset, "empty sample");
    Walk(f.data, n, static_cast<uint64_t>(std::max<int64_t>(f.size, 0)), f.offset, false, shown, hidden);
    // dav1d outputs each (of the highest spatial layer); the temporal unit is still one picture here.
    if (shown.count > 1)
        Invalid("AV1 temporal unit", f.offset, "shows " + std::to_string(shown.count) + " frames, not one");
    // A temporal unit shows one frame. Read from its head only, hidden frames are taken to be
    // followed by the inter frame they are there for, and the slots that frame fills are
    // unknown: what they hold is taken to be inter frames too.
    if (!whole && hidden && !shown.output) {
        shown = {true, 'P', false, ""};
        for (Av1RefSlot& r : m_refs)
            if (r.frameType >= 0) r.frameType = kAv1InterFrame;
    }
    Picture pic;
    pic.offset = f.offset;
    pic.size = f.size;
    pic.output = shown.output;
    pic.type = shown.type;
    pic.key = shown.output && shown.key;
    pic.kind = shown.output ? shown.kind : shown.type != '?' ? "HIDDEN" : "";
    if (!pic.output && !m_keySeen) ++m_model.leadingUnits;
    m_sink.OnPicture(pic);
}

void Av1Parser::Walk(const uint8_t* p, size_t n, uint64_t left, int64_t offset, bool config, Shown& shown,
                     bool& hidden) {
    const bool whole = n == left;
    const char* what = config ? "av1C OBU" : "AV1 OBU";
    int spatial = 0;
    for (size_t at = 0; at < n;) {
        Av1Obu o;
        std::string why;
        const int64_t here = config ? offset : offset + static_cast<int64_t>(at);
        if (!ParseAv1ObuHeader(p + at, n - at, left - at, o, why)) {
            if (whole || why.find("cut off") == std::string::npos) {
                if (config) m_model.Diagnose(std::string("invalid ") + what + ": " + why);
                else Invalid(what, here, why);
            }
            return;
        }
        const size_t start = at + o.headerSize;
        const size_t have = static_cast<size_t>(std::min<uint64_t>(o.size, n - start));
        const bool capped = have < o.size;
        at = start + have;
        // OBUs outside operating point 0, which is the one decoders show.
        const bool layered = o.type != kSequenceHeader && o.type != kTemporalDelimiter && o.extension;
        if (m_haveSeq && layered && m_seq.opIdc[0] != 0) {
            const int idc = m_seq.opIdc[0];
            if (!((idc >> o.temporalId) & 1) || !((idc >> (o.spatialId + 8)) & 1)) continue;
        }
        if (o.type == kSequenceHeader) {
            // A sequence header cut by the limit on what is read is not the stream's fault.
            if (!capped) OnSequenceHeader(p + start, have, here, config);
        } else if ((o.type == kFrameHeader || o.type == kFrame) && !config) {
            if (!m_haveSeq) continue;  // nothing to read it with: counted as leading
            Av1FrameHeader h;
            if (!ParseAv1FrameHeader(p + start, have, m_seq, o, m_refs, h, why)) {
                if (!capped || why.find("cut off") == std::string::npos) Invalid("AV1 frame header", here, why);
                continue;
            }
            // Each spatial layer shows its own frame; decoders output the highest layer's.
            if (o.spatialId > spatial) shown.count = 0, spatial = o.spatialId;
            OnFrameHeader(h, here, shown, hidden);
        }
    }
}

void Av1Parser::OnSequenceHeader(const uint8_t* p, size_t n, int64_t offset, bool config) {
    Av1SequenceHeader s;
    std::string why;
    if (!ParseAv1SequenceHeader(p, n, s, why)) {
        if (config) m_model.Diagnose("invalid av1C sequence header: " + why);
        else Invalid("AV1 sequence header", offset, why);
        return;
    }
    if (config) {
        m_configSeq = s;
        m_haveConfigSeq = true;
    } else {
        m_seq = s;
        m_haveSeq = true;
    }
    CompareConfig(s);
}

void Av1Parser::CompareConfig(const Av1SequenceHeader& s) {
    if (!m_haveConfig || m_configCompared) return;
    m_configCompared = true;
    const Av1Config& c = m_config;
    const int config[] = {c.profile, c.level, c.tier, c.bitDepth, c.monochrome, c.subsamplingX, c.subsamplingY};
    const int seq[] = {s.profile, s.level[0], s.tier[0], s.bitDepth, s.monochrome, s.subsamplingX, s.subsamplingY};
    static const char* const kNames[] = {"profile", "level", "tier", "bit depth", "monochrome", "subsampling_x",
                                         "subsampling_y"};
    for (int i = 0; i < 7; ++i)
        if (config[i] != seq[i])
            m_model.Diagnose(std::string("av1C gives ") + kNames[i] + " " + std::to_string(config[i]) +
                             ", the sequence header " + std::to_string(seq[i]));
}

void Av1Parser::OnFrameHeader(const Av1FrameHeader& h, int64_t offset, Shown& shown, bool& hidden) {
    if (h.showExisting) {
        if (h.frameType < 0) {
            if (m_keySeen) Invalid("AV1 frame header", offset, EmptySlot("shows", h.showIndex));
            return;
        }
        if (h.frameType == kAv1KeyFrame) std::fill(m_refs, m_refs + 8, m_refs[h.showIndex]);
        Track(h.upscaledWidth, h.height, ChromaOf(m_seq), m_seq.bitDepth);
        shown = {true, TypeChar(h.frameType), h.frameType == kAv1KeyFrame, "EXISTING", shown.count + 1};
        return;
    }
    if (h.frameType != kAv1KeyFrame && h.frameType != kAv1IntraOnlyFrame)
        for (int i = 0; i < 7; ++i)
            if (m_refs[h.refIdx[i]].frameType < 0) {
                // Before the first key frame a decoder has nothing to refer to.
                if (m_keySeen) Invalid("AV1 frame header", offset, EmptySlot("refers to", h.refIdx[i]));
                return;
            }
    if (h.frameType == kAv1KeyFrame) m_keySeen = true;
    if (!m_model.seq.present) Activate(m_seq, h.upscaledWidth, h.height, h.renderWidth, h.renderHeight);
    if (h.refOrderHints)
        for (int i = 0; i < 8; ++i) m_refs[i].orderHint = h.refOrderHint[i];
    for (int i = 0; i < 8; ++i)
        if (h.refreshFlags & (1 << i))
            m_refs[i] = {h.frameType, h.orderHint, h.upscaledWidth, h.height, h.renderWidth, h.renderHeight};
    const Shown one = {h.show, TypeChar(h.frameType), h.frameType == kAv1KeyFrame, KindOf(h.frameType),
                       shown.count + h.show};
    if (!h.show) {
        hidden = true;
        if (!shown.output) shown = one;
        return;
    }
    // dav1d sizes the picture it outputs: hidden frames leave the size as it was.
    Track(h.upscaledWidth, h.height, ChromaOf(m_seq), m_seq.bitDepth);
    shown = one;
}

void Av1Parser::Track(int width, int height, int chroma, int depth) {
    if (width <= 0 || (width == m_width && height == m_height && chroma == m_chroma && depth == m_depth)) return;
    // Counted as the other parsers count a switch to a parameter set of another format.
    const SequenceFacts& f = m_model.seq;
    if (f.width != width || f.height != height || f.chromaFormat != chroma || f.bitDepthLuma != depth)
        ++m_model.sequenceChanges;
    m_width = width, m_height = height, m_chroma = chroma, m_depth = depth;
}

void Av1Parser::Activate(const Av1SequenceHeader& s, int width, int height, int renderWidth, int renderHeight) {
    SequenceFacts& f = m_model.seq;
    f = SequenceFacts();
    f.present = true;
    f.profileIdc = s.profile;
    f.profile = Av1ProfileName(s.profile);
    f.profileText = f.profile + " (" + std::to_string(s.profile) + ")";
    // dav1d keeps a reduced still picture header's level without the offset of 2 in its major
    // part, and ffmpeg's level is computed from that: 8 less.
    f.level = s.reducedStill ? s.level[0] - 8 : s.level[0];
    f.levelText = Av1LevelText(s.level[0], s.tier[0]);
    f.width = f.codedWidth = width;
    f.height = f.codedHeight = height;
    f.chromaFormat = ChromaOf(s);
    f.bitDepthLuma = f.bitDepthChroma = s.bitDepth;
    f.colourRange = s.fullRange ? 1 : 0;
    f.colourPrimaries = s.primaries;
    f.transfer = s.transfer;
    f.matrix = s.matrix;
    // dav1d names only the two positions AV1 defines, and only for 4:2:0.
    if (f.chromaFormat == 1) f.chromaLocation = s.chromaPosition == 1 ? 1 : s.chromaPosition == 2 ? 3 : 0;
    if (renderWidth > 0 && renderHeight > 0)
        f.sar = Reduce(int64_t{height} * renderWidth, int64_t{width} * renderHeight);
    f.refs = 1;
    f.hasBFrames = 0;
    m_width = width, m_height = height, m_chroma = f.chromaFormat, m_depth = s.bitDepth;
}

void Av1Parser::Finish() {
    SequenceFacts& f = m_model.seq;
    if (f.present) {
        // ffprobe's width and height are the first picture's, its coded ones the last's.
        f.codedWidth = m_width;
        f.codedHeight = m_height;
        return;
    }
    // No frame could be decoded: ffmpeg still reads the last sequence header, or that of av1C.
    if (!m_haveSeq && !m_haveConfigSeq) return;
    const Av1SequenceHeader& s = m_haveSeq ? m_seq : m_configSeq;
    Activate(s, s.maxWidth, s.maxHeight, 0, 0);
}

}  // namespace qvutil
