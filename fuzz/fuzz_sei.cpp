// SEI messages of both codecs, with the parameter sets they depend on drawn from the input.
// Input: flags (H.265, NAL HRD, pic_struct present, frame-field info), the CPB and DPB delay
// lengths, then an SEI RBSP with its NAL header. Whatever the bytes, the facts read must be
// within their syntax's ranges, and the same bytes read as a capped unit must never fail where
// the whole unit does not.

#include "FuzzInput.h"
#include "codec/H264Parser.h"
#include "codec/H265Parser.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qvutil;
    qvfuzz::FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const int removal = 1 + in.Byte() % 32, output = 1 + in.Byte() % 32;
    size_t n = in.Left();
    const uint8_t* p = in.Take(n);
    for (int capped = 0; capped < 2; ++capped) {
        SeiFacts facts;
        std::string error;
        bool ok;
        if (flags & 1) {
            H265Sps sps;
            sps.frameFieldInfo = flags & 8;
            ok = ParseH265Sei(p, n, capped, &sps, facts, error);
            if (facts.picStruct > 12) qvfuzz::Fail("pic_struct out of range");
        } else {
            H264Sps sps;
            sps.nalHrd = flags & 2;
            sps.picStructPresent = flags & 4;
            sps.hrd.removalDelayLength = removal;
            sps.hrd.outputDelayLength = output;
            ok = ParseH264Sei(p, n, capped, &sps, facts, error);
            if (facts.picStruct > 8) qvfuzz::Fail("pic_struct out of range");
        }
        if (ok != error.empty()) qvfuzz::Fail("result and reason disagree", error.c_str());
        if (facts.recoveryFrameCnt > 65535) qvfuzz::Fail("recovery_frame_cnt out of range");
        if (facts.alternativeTransfer > 255) qvfuzz::Fail("transfer out of range");
    }
    return 0;
}
