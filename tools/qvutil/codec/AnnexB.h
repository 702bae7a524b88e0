#pragma once

// Length-prefixed NAL units (the samples of MP4 and Matroska) turned into an Annex B byte
// stream, byte for byte as ffmpeg's h264_mp4toannexb and hevc_mp4toannexb bitstream
// filters write it: start codes before each unit, and the decoder configuration's
// parameter sets before the pictures a decoder can start at.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvutil {

class AnnexBWriter {
public:
    // From an avcC or hvcC record. A record that already holds start codes (or none at
    // all) means the samples are Annex B already: they pass unchanged. False, with the
    // reason, when the record is broken.
    bool Configure(bool hevc, const uint8_t* config, size_t n, std::string& error);
    bool Ready() const { return m_ready; }

    // Appends one sample's Annex B form to out. A sample whose NAL unit lengths run past
    // its end is dropped, as ffmpeg drops it (and counted among the warnings).
    void Packet(const uint8_t* p, size_t n, std::vector<uint8_t>& out);

    // What went wrong, a line each, once each.
    std::vector<std::string> Warnings() const;

private:
    void H264(const uint8_t* p, size_t n, std::vector<uint8_t>& out);
    void Hevc(const uint8_t* p, size_t n, std::vector<uint8_t>& out);

    bool m_ready = false, m_hevc = false, m_passThrough = false;
    int m_lengthSize = 4;
    // The record's units with 4-byte start codes: all of them, and (H.264) the SPS and
    // PPS apart.
    std::vector<uint8_t> m_extradata, m_sps, m_pps;
    // H.264: whether the next IDR slice still needs its parameter sets, carried from one
    // sample to the next.
    bool m_newIdr = true, m_spsSeen = false, m_ppsSeen = false;
    uint64_t m_dropped = 0;
    bool m_noSps = false, m_noPps = false;
};

}  // namespace qvutil
