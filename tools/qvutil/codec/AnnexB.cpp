#include "AnnexB.h"

#include "NalConfig.h"

namespace qvutil {

namespace {

void StartCode(std::vector<uint8_t>& out, bool four) {
    if (four) out.push_back(0);
    out.insert(out.end(), {0, 0, 1});
}

}  // namespace

bool AnnexBWriter::Configure(bool hevc, const uint8_t* config, size_t n, std::string& error) {
    *this = AnnexBWriter();
    m_hevc = hevc;
    m_ready = true;
    // ffmpeg takes a record that begins with a start code, or none, for Annex B samples.
    if (n == 0 || (n >= 3 && config[0] == 0 && config[1] == 0 && config[2] == 1) ||
        (n >= 4 && config[0] == 0 && config[1] == 0 && config[2] == 0 && config[3] == 1)) {
        m_passThrough = true;
        return true;
    }
    NalConfig c;
    if (!ParseNalConfig(config, n, hevc, c, error)) return m_ready = false;
    if (!hevc && c.lengthSize == 3) {
        error = "NAL length size 3";
        return m_ready = false;
    }
    m_lengthSize = c.lengthSize;
    for (size_t i = 0; i < c.units.size(); ++i) {
        const std::vector<uint8_t>& u = c.units[i];
        if (hevc) {
            const int type = (u[0] >> 1) & 0x3F;
            if (type < 32 || (type > 34 && type != 39 && type != 40)) {
                error = "a NAL unit of type " + std::to_string(type) + " in its arrays";
                return m_ready = false;
            }
        }
        // H.264: the SPS, then the PPS; SPS extensions after them stay out.
        std::vector<uint8_t>& to = hevc ? m_extradata : i < c.spsCount ? m_sps : m_pps;
        if (!hevc && i >= c.spsCount && (u[0] & 0x1F) != 8) continue;
        StartCode(to, true);
        to.insert(to.end(), u.begin(), u.end());
    }
    if (!hevc) {
        m_extradata = m_sps;
        m_extradata.insert(m_extradata.end(), m_pps.begin(), m_pps.end());
    }
    return true;
}

void AnnexBWriter::Packet(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
    if (m_passThrough) {
        out.insert(out.end(), p, p + n);
        return;
    }
    const size_t was = out.size();
    // A broken sample leaves nothing behind, and the state as it was.
    const bool newIdr = m_newIdr, spsSeen = m_spsSeen, ppsSeen = m_ppsSeen;
    const uint64_t dropped = m_dropped;
    if (m_hevc) Hevc(p, n, out);
    else H264(p, n, out);
    if (m_dropped != dropped) {
        out.resize(was);
        m_newIdr = newIdr, m_spsSeen = spsSeen, m_ppsSeen = ppsSeen;
    }
}

void AnnexBWriter::H264(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
    const size_t first = out.size();
    size_t at = 0;
    do {
        uint32_t size = 0;
        for (int i = 0; i < m_lengthSize; ++i) size = size << 8 | (at + static_cast<size_t>(i) < n ? p[at + static_cast<size_t>(i)] : 0);
        at += static_cast<size_t>(m_lengthSize);
        if (at > n || size > n - at) {
            ++m_dropped;
            return;
        }
        if (!size) continue;
        const uint8_t* nal = p + at;
        const int type = nal[0] & 0x1F;
        if (type == 7) {
            m_spsSeen = m_newIdr = true;
        } else if (type == 8) {
            m_ppsSeen = m_newIdr = true;
            // A PPS without an SPS before it in the picture gets the record's.
            if (!m_spsSeen) {
                if (m_sps.empty()) {
                    m_noSps = true;
                } else {
                    out.insert(out.end(), m_sps.begin(), m_sps.end());
                    m_spsSeen = true;
                }
            }
        }
        // A new IDR picture right after another: its first slice (first_mb_in_slice 0).
        if (type == 5 && size > 1 && (nal[1] & 0x80)) m_newIdr = true;
        if (m_newIdr && type == 5 && !m_spsSeen && !m_ppsSeen) {
            out.insert(out.end(), m_extradata.begin(), m_extradata.end());
            m_newIdr = false;
        } else if (m_newIdr && type == 5 && m_spsSeen && !m_ppsSeen) {
            if (m_pps.empty()) m_noPps = true;
            else out.insert(out.end(), m_pps.begin(), m_pps.end());
        }
        // Four bytes of start code at the sample's start and before parameter sets.
        StartCode(out, out.size() == first || type == 7 || type == 8);
        out.insert(out.end(), nal, nal + size);
        if (!m_newIdr && type == 1) {
            m_newIdr = true;
            m_spsSeen = m_ppsSeen = false;
        }
        at += size;
    } while (at < n);
}

void AnnexBWriter::Hevc(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
    bool irapSeen = false;
    size_t at = 0;
    while (at < n) {
        if (n - at < static_cast<size_t>(m_lengthSize)) {
            ++m_dropped;
            return;
        }
        uint32_t size = 0;
        for (int i = 0; i < m_lengthSize; ++i) size = size << 8 | p[at++];
        if (size < 2 || size > n - at) {
            ++m_dropped;
            return;
        }
        const int type = (p[at] >> 1) & 0x3F;
        // The record's units before the first IRAP unit of each sample that holds one.
        const bool irap = type >= 16 && type <= 23;
        if (irap && !irapSeen) out.insert(out.end(), m_extradata.begin(), m_extradata.end());
        irapSeen |= irap;
        StartCode(out, true);
        out.insert(out.end(), p + at, p + at + size);
        at += size;
    }
}

std::vector<std::string> AnnexBWriter::Warnings() const {
    std::vector<std::string> w;
    if (m_dropped)
        w.push_back(std::to_string(m_dropped) + " sample" + (m_dropped == 1 ? "" : "s") +
                    " with NAL unit lengths past their end, left out as ffmpeg leaves them out");
    if (m_noSps) w.push_back("SPS neither in the stream nor in its decoder configuration");
    if (m_noPps) w.push_back("PPS neither in the stream nor in its decoder configuration");
    return w;
}

}  // namespace qvutil
