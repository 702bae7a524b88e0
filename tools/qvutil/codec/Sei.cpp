#include "Sei.h"

#include "Rbsp.h"

namespace qvutil {

bool ForEachSeiMessage(const uint8_t* p, size_t n, bool capped,
                       const std::function<bool(int, const uint8_t*, size_t)>& fn, std::string& error) {
    size_t i = 0;
    // The walk stops at the rbsp_trailing_bits: a byte 80 where a message would begin.
    while (i < n && !(p[i] == 0x80 && i + 1 == n)) {
        int64_t type = 0, size = 0;
        while (i < n && p[i] == 0xFF) type += 255, ++i;
        if (i >= n) break;
        type += p[i++];
        while (i < n && p[i] == 0xFF) size += 255, ++i;
        if (i >= n) {
            if (capped) return true;
            error = "SEI message header cut off";
            return false;
        }
        size += p[i++];
        if (static_cast<int64_t>(n - i) < size) {
            if (capped) return true;
            error = "SEI message of type " + std::to_string(type) + " runs past the end of the unit";
            return false;
        }
        if (type > 0xFFFF) {
            error = "SEI payloadType " + std::to_string(type) + " out of range";
            return false;
        }
        if (!fn(static_cast<int>(type), p + i, static_cast<size_t>(size))) return false;
        i += static_cast<size_t>(size);
    }
    if (i >= n && !capped && n > 0 && p[n - 1] != 0x80) {
        // The last message ended on the last byte: the trailing bits are missing.
        error = "SEI without rbsp_trailing_bits";
        return false;
    }
    return true;
}

bool ParseMasteringDisplay(const uint8_t* p, size_t n, MasteringDisplay& md, std::string& error) {
    BitReader r(p, n);
    for (int c = 0; c < 3; ++c) {
        md.x[c] = static_cast<uint16_t>(r.U(16, "display_primaries_x"));
        md.y[c] = static_cast<uint16_t>(r.U(16, "display_primaries_y"));
    }
    md.whiteX = static_cast<uint16_t>(r.U(16, "white_point_x"));
    md.whiteY = static_cast<uint16_t>(r.U(16, "white_point_y"));
    md.maxLuminance = r.U(32, "max_display_mastering_luminance");
    md.minLuminance = r.U(32, "min_display_mastering_luminance");
    if (!r.Ok()) return error = "mastering display colour volume: " + r.Error(), false;
    md.present = true;
    return true;
}

bool ParseContentLight(const uint8_t* p, size_t n, ContentLight& cll, std::string& error) {
    BitReader r(p, n);
    cll.maxContent = static_cast<uint16_t>(r.U(16, "max_content_light_level"));
    cll.maxAverage = static_cast<uint16_t>(r.U(16, "max_pic_average_light_level"));
    if (!r.Ok()) return error = "content light level: " + r.Error(), false;
    cll.present = true;
    return true;
}

bool ParseAlternativeTransfer(const uint8_t* p, size_t n, int& transfer, std::string& error) {
    BitReader r(p, n);
    transfer = static_cast<int>(r.U(8, "preferred_transfer_characteristics"));
    if (!r.Ok()) return error = "alternative transfer characteristics: " + r.Error(), false;
    return true;
}

bool ParseCommonSei(int type, const uint8_t* p, size_t n, SeiFacts& facts, std::string& error) {
    switch (type) {
    case 137: return ParseMasteringDisplay(p, n, facts.mastering, error);
    case 144: return ParseContentLight(p, n, facts.contentLight, error);
    case 147: return ParseAlternativeTransfer(p, n, facts.alternativeTransfer, error);
    default: return true;
    }
}

}  // namespace qvutil
