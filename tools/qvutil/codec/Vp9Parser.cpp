#include "Vp9Parser.h"

#include "Rbsp.h"

#include <algorithm>

namespace qvutil {

namespace {

// ffmpeg shows a code point it has no name for as unspecified; vpcC's go through the same filter.
int NamedPrimaries(int v) {
    return v <= 12 || v == 22 ? v : 2;
}
int NamedTransfer(int v) {
    return v <= 18 ? v : 2;
}
int NamedMatrix(int v) {
    return v <= 14 ? v : 2;
}

// VP9's color_space as the matrix code point ffmpeg gives it (BT.601 as bt470bg).
int MatrixOf(int colourSpace) {
    static const int kMatrix[8] = {2, 5, 1, 6, 7, 9, 3, 0};
    return kMatrix[colourSpace & 7];
}

// 4:4:0 has no chroma_format_idc: it is kept as 4.
int ChromaOf(int subsamplingX, int subsamplingY) {
    if (subsamplingX) return subsamplingY ? 1 : 2;
    return subsamplingY ? 4 : 3;
}

std::string LevelText(int level) {
    if (level <= 0) return "";
    if (level % 10 == 0) return std::to_string(level / 10);
    return std::to_string(level / 10) + "." + std::to_string(level % 10);
}

// The reason given for a frame that needs a reference slot nothing has filled.
std::string EmptySlot(const char* verb, int slot) {
    return std::string(verb) + " reference slot " + std::to_string(slot) + ", which is empty";
}

void SyncCode(BitReader& r) {
    r.Expect(8, 0x49, "frame_sync_code");
    r.Expect(8, 0x83, "frame_sync_code");
    r.Expect(8, 0x42, "frame_sync_code");
}

void ColourConfig(BitReader& r, Vp9FrameHeader& h) {
    h.bitDepth = h.profile >= 2 ? (r.Flag() ? 12 : 10) : 8;  // ten_or_twelve_bit
    h.colourSpace = static_cast<int>(r.U(3, "color_space"));
    const bool odd = h.profile & 1;
    if (h.colourSpace != 7) {
        h.fullRange = r.Flag();
        if (odd) {
            h.subsamplingX = static_cast<int>(r.U(1, "subsampling_x"));
            h.subsamplingY = static_cast<int>(r.U(1, "subsampling_y"));
            if (r.Ok() && h.subsamplingX && h.subsamplingY)
                r.Fail("4:2:0 in profile " + std::to_string(h.profile));
            r.Expect(1, 0, "reserved_zero");
        }
    } else {
        h.fullRange = true;
        h.subsamplingX = h.subsamplingY = 0;
        if (!odd && r.Ok()) r.Fail("RGB in profile " + std::to_string(h.profile));
        r.Expect(1, 0, "reserved_zero");
    }
}

void FrameSize(BitReader& r, Vp9FrameHeader& h) {
    h.width = static_cast<int>(r.U(16, "frame_width_minus_1")) + 1;
    h.height = static_cast<int>(r.U(16, "frame_height_minus_1")) + 1;
}

void RenderSize(BitReader& r, Vp9FrameHeader& h) {
    if (!r.Flag()) return;  // render_and_frame_size_different
    h.renderWidth = static_cast<int>(r.U(16, "render_width_minus_1")) + 1;
    h.renderHeight = static_cast<int>(r.U(16, "render_height_minus_1")) + 1;
}

}  // namespace

bool ParseVpcC(const uint8_t* p, size_t n, Vp9Config& c, std::string& error) {
    c = Vp9Config();
    // Shorter than this, ffmpeg refuses the whole file.
    if (n < 5) return error = "vpcC of " + std::to_string(n) + " bytes holds no record", false;
    c.version = p[0];
    if (c.version > 1) return error = "vpcC version " + std::to_string(c.version) + " is unknown", false;
    if (n < (c.version ? 12u : 10u)) return error = "vpcC cut off after " + std::to_string(n) + " bytes", false;
    c.profile = p[4];
    c.level = p[5];
    c.bitDepth = p[6] >> 4;
    if (c.version == 0) {
        // The draft layout: colour space and transfer in 4 and 3 bits, which ffmpeg ignores.
        c.chromaSubsampling = p[7] >> 4;
        c.fullRange = p[7] & 1;
        return true;
    }
    c.chromaSubsampling = (p[6] >> 1) & 7;
    c.fullRange = p[6] & 1;
    const int initSize = p[10] << 8 | p[11];
    if (initSize) return error = "codecIntializationDataSize " + std::to_string(initSize) + " is not 0", false;
    c.colour = true;
    c.primaries = NamedPrimaries(p[7]);
    c.transfer = NamedTransfer(p[8]);
    c.matrix = NamedMatrix(p[9]);
    return true;
}

bool ParseVp9CodecPrivate(const uint8_t* p, size_t n, Vp9Config& c, std::string& error) {
    c = Vp9Config();
    for (size_t at = 0; at < n;) {
        if (n - at < 2) return error = "codec feature cut off after its id", false;
        const int id = p[at], len = p[at + 1];
        if (len > static_cast<int>(n - at - 2))
            return error = "codec feature " + std::to_string(id) + " runs past the end", false;
        if (len == 1 && id >= 1 && id <= 4) {
            const int v = p[at + 2];
            (id == 1 ? c.profile : id == 2 ? c.level : id == 3 ? c.bitDepth : c.chromaSubsampling) = v;
        }
        at += 2 + static_cast<size_t>(len);
    }
    return true;
}

bool ParseVp9Superframe(const uint8_t* p, size_t n, Vp9Superframe& s, std::string& error) {
    s = Vp9Superframe();
    s.count = 1;
    s.sizes[0] = static_cast<uint32_t>(std::min<size_t>(n, UINT32_MAX));
    if (n == 0) return true;
    const uint8_t marker = p[n - 1];
    if ((marker & 0xE0) != 0xC0) return true;
    const int bytes = 1 + ((marker >> 3) & 3);
    const int frames = 1 + (marker & 7);
    const size_t indexSize = 2 + static_cast<size_t>(frames * bytes);
    // A frame may end in a byte that looks like a marker: only a matching first byte makes an index.
    if (n < indexSize || p[n - indexSize] != marker) return true;
    uint64_t total = 0;
    uint32_t sizes[8] = {};
    const uint8_t* q = p + n - indexSize + 1;
    for (int i = 0; i < frames; ++i) {
        for (int j = 0; j < bytes; ++j) sizes[i] |= static_cast<uint32_t>(*q++) << (8 * j);
        total += sizes[i];
        if (total > n - indexSize) {
            error = "superframe index: frame " + std::to_string(i) + " of " + std::to_string(frames) +
                    " runs past the end of the sample";
            return false;
        }
    }
    std::copy(sizes, sizes + frames, s.sizes);
    s.count = frames;
    s.indexSize = indexSize;
    return true;
}

bool ParseVp9FrameHeader(const uint8_t* p, size_t n, Vp9FrameHeader& h, std::string& error) {
    h = Vp9FrameHeader();
    BitReader r(p, n);
    r.Expect(2, 2, "frame_marker");
    h.profile = static_cast<int>(r.U(1, "profile_low_bit"));
    h.profile |= static_cast<int>(r.U(1, "profile_high_bit")) << 1;
    if (h.profile == 3 && r.Flag()) r.Fail("reserved_zero after the profile is 1");
    h.showExisting = r.Flag();
    if (h.showExisting) {
        h.showIndex = static_cast<int>(r.U(3, "frame_to_show_map_idx"));
        h.show = true;
        if (!r.Ok()) return error = r.Error(), false;
        return true;
    }
    h.key = !r.Flag();  // frame_type 0 is a key frame
    h.show = r.Flag();
    h.errorResilient = r.Flag();
    if (h.key) {
        SyncCode(r);
        ColourConfig(r, h);
        FrameSize(r, h);
        RenderSize(r, h);
        h.refreshFlags = 0xFF;
    } else {
        h.intraOnly = h.show ? false : r.Flag();
        if (!h.errorResilient) r.U(2, "reset_frame_context");
        if (h.intraOnly) {
            SyncCode(r);
            if (h.profile > 0) {
                ColourConfig(r, h);
            } else {
                h.colourSpace = 1;  // BT.601, limited range, 8 bits 4:2:0
            }
            h.refreshFlags = static_cast<int>(r.U(8, "refresh_frame_flags"));
            FrameSize(r, h);
            RenderSize(r, h);
        } else {
            h.refreshFlags = static_cast<int>(r.U(8, "refresh_frame_flags"));
            for (int i = 0; i < 3; ++i) {
                h.refIdx[i] = static_cast<int>(r.U(3, "ref_frame_idx"));
                r.Flag();  // ref_frame_sign_bias
            }
            for (int i = 0; i < 3 && r.Ok(); ++i)
                if (r.Flag()) {  // found_ref
                    h.sizeFromRef = i;
                    break;
                }
            if (h.sizeFromRef < 0) FrameSize(r, h);
            RenderSize(r, h);
        }
    }
    if (!r.Ok()) return error = r.Error(), false;
    return true;
}

std::string Vp9ProfileName(int profile) {
    return "Profile " + std::to_string(profile);
}

// --- The stream ----------------------------------------------------------------------

void Vp9Parser::Invalid(const char* what, int64_t offset, const std::string& why) {
    m_model.Diagnose(std::string("invalid ") + what + " at offset " + std::to_string(offset) + ": " + why);
}

void Vp9Parser::OnConfig(const uint8_t* p, size_t n) {
    if (n == 0) return;
    std::string why;
    // A feature list begins with an id and a length of 1; vpcC with its version and zero flags.
    const bool features = n >= 2 && p[1] == 1 && p[0] >= 1 && p[0] <= 4;
    m_haveConfig = features ? ParseVp9CodecPrivate(p, n, m_config, why) : ParseVpcC(p, n, m_config, why);
    if (!m_haveConfig)
        m_model.Diagnose(std::string("invalid ") + (features ? "VP9 CodecPrivate" : "vpcC") + ": " + why);
}

size_t Vp9Parser::Want() const {
    // A superframe's index is at its end: only a whole sample shows every frame in it.
    return 1 << 20;
}

void Vp9Parser::OnFrame(const Frame& f) {
    const size_t n = f.Readable();
    const bool whole = f.Whole();
    Vp9Superframe sf;
    std::string why;
    if (whole) {
        if (!ParseVp9Superframe(f.data, n, sf, why)) Invalid("VP9 superframe", f.offset, why);
    } else {
        sf.count = 1;  // the index, if any, lies beyond what was read
        sf.sizes[0] = UINT32_MAX;
    }
    Shown shown, last;
    bool hiddenFirst = false;
    int outputs = 0;
    size_t at = 0;
    for (int i = 0; i < sf.count && at < n; ++i) {
        Shown one;
        Decode(f.data + at, std::min<size_t>(sf.sizes[i], n - at), whole, f.offset + static_cast<int64_t>(at), one);
        if (i == 0 && one.type != '?' && !one.output) hiddenFirst = true;
        if (one.type != '?') last = one;
        if (one.output) shown = one, ++outputs;
        at += sf.sizes[i];
    }
    if (!shown.output) shown = last;
    // ffmpeg outputs each; the sample is still one picture here.
    if (outputs > 1) Invalid("VP9 superframe", f.offset, "shows " + std::to_string(outputs) + " frames, not one");
    // A sample shows one frame. Read from its head only, a hidden first frame is taken to be
    // followed by the inter frame it is there for, and the slots that frame fills are unknown:
    // what they hold is taken to be inter frames too.
    if (!whole && hiddenFirst && !shown.output) {
        shown = {true, 'P', false, ""};
        for (Slot& s : m_slots)
            if (s.valid) s.type = 'P', s.key = false;
    }
    if (f.size == 0) Invalid("VP9 frame", f.offset, "empty sample");
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

void Vp9Parser::Decode(const uint8_t* p, size_t n, bool whole, int64_t offset, Shown& shown) {
    Vp9FrameHeader h;
    std::string why;
    if (!ParseVp9FrameHeader(p, n, h, why)) {
        // Cut by the limit on what is read of a sample: not the stream's fault.
        if (whole || why.find("cut off") == std::string::npos) Invalid("VP9 frame header", offset, why);
        return;
    }
    m_profile = h.profile;
    if (h.showExisting) {
        const Slot& s = m_slots[h.showIndex];
        if (!s.valid) {
            if (m_keySeen) Invalid("VP9 frame", offset, EmptySlot("shows", h.showIndex));
            return;
        }
        shown = {true, s.type, s.key, "EXISTING"};
        return;
    }
    int width = h.width, height = h.height;
    if (h.key || h.intraOnly) {
        m_format = h;
    } else {
        for (int i = 0; i < 3; ++i)
            if (!m_slots[h.refIdx[i]].valid) {
                // Before the first key frame a decoder has nothing to refer to.
                if (m_keySeen) Invalid("VP9 frame", offset, EmptySlot("refers to", h.refIdx[i]));
                return;
            }
        if (h.sizeFromRef >= 0) {
            width = m_slots[h.refIdx[h.sizeFromRef]].width;
            height = m_slots[h.refIdx[h.sizeFromRef]].height;
        }
    }
    if (!m_model.seq.present) Activate(m_format, width, height);
    // ffmpeg sizes its decoder at every frame, hidden ones too.
    Track(width, height, ChromaOf(m_format.subsamplingX, m_format.subsamplingY), m_format.bitDepth);
    if (h.key) m_keySeen = true;
    const char type = h.key || h.intraOnly ? 'I' : 'P';
    for (int i = 0; i < 8; ++i)
        if (h.refreshFlags & (1 << i)) m_slots[i] = {true, type, h.key, width, height};
    shown.type = type;
    shown.key = h.key;
    shown.kind = h.key ? "KEY" : h.intraOnly ? "INTRA" : "";
    shown.output = h.show;
}

void Vp9Parser::Track(int width, int height, int chroma, int depth) {
    if (width == m_width && height == m_height && chroma == m_chroma && depth == m_depth) return;
    // Counted as the other parsers count a switch to a parameter set of another format.
    const SequenceFacts& f = m_model.seq;
    if (f.width != width || f.height != height || f.chromaFormat != chroma || f.bitDepthLuma != depth)
        ++m_model.sequenceChanges;
    m_width = width, m_height = height, m_chroma = chroma, m_depth = depth;
}

void Vp9Parser::Activate(const Vp9FrameHeader& h, int width, int height) {
    SequenceFacts& f = m_model.seq;
    f = SequenceFacts();
    f.present = true;
    f.profileIdc = h.profile;
    f.profile = Vp9ProfileName(h.profile);
    f.profileText = f.profile;
    if (m_haveConfig) f.levelText = LevelText(m_config.level);
    f.width = f.codedWidth = width;
    f.height = f.codedHeight = height;
    f.chromaFormat = ChromaOf(h.subsamplingX, h.subsamplingY);
    f.bitDepthLuma = f.bitDepthChroma = h.bitDepth;
    f.colourRange = h.fullRange ? 1 : 0;
    f.matrix = MatrixOf(h.colourSpace);
    if (m_haveConfig && m_config.colour) {
        f.colourPrimaries = m_config.primaries;
        f.transfer = m_config.transfer;
    }
    f.refs = 1;
    f.hasBFrames = 0;
    m_width = width, m_height = height, m_chroma = f.chromaFormat, m_depth = h.bitDepth;
    if (!m_haveConfig) return;
    const Vp9Config& c = m_config;
    const int chroma = c.chromaSubsampling < 0 ? -1 : c.chromaSubsampling <= 1 ? 1 : c.chromaSubsampling;
    auto differs = [this](const char* what, int config, int frames) {
        if (config >= 0 && config != frames)
            m_model.Diagnose(std::string(m_config.version < 0 ? "VP9 CodecPrivate" : "vpcC") + " gives " + what + " " +
                             std::to_string(config) + ", the first frame " + std::to_string(frames));
    };
    differs("profile", c.profile, h.profile);
    differs("bit depth", c.bitDepth, h.bitDepth);
    if (f.chromaFormat != 4) differs("chroma format", chroma, f.chromaFormat);
}

void Vp9Parser::Finish() {
    SequenceFacts& f = m_model.seq;
    if (f.present) {
        // ffprobe's width and height are the first frame's, its coded ones the last's.
        f.codedWidth = m_width;
        f.codedHeight = m_height;
        return;
    }
    if (m_profile >= 0) {
        // No frame could be decoded; ffmpeg's parser still names the profile.
        f.profileIdc = m_profile;
        f.profile = Vp9ProfileName(m_profile);
    }
    // Without a frame to read, ffprobe shows the colour vpcC gives.
    if (!m_haveConfig || !m_config.colour) return;
    f.colourRange = m_config.fullRange;
    f.colourPrimaries = m_config.primaries;
    f.transfer = m_config.transfer;
    f.matrix = m_config.matrix;
}

}  // namespace qvutil
