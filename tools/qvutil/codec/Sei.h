#pragma once

// Supplemental enhancement information shared by H.264 and H.265: the message framing and
// the messages both codecs define alike (mastering display colour volume, content light
// level, alternative transfer characteristics, recovery point).

#include "StreamModel.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace qvutil {

struct SeiFacts {
    int picStruct = -1;        // picture timing: pic_struct, -1 when absent
    int recoveryFrameCnt = -1;  // recovery point: recovery_frame_cnt, -1 when absent
    MasteringDisplay mastering;
    ContentLight contentLight;
    int alternativeTransfer = -1;
};

// Calls fn(payloadType, payload, payloadSize) for each sei_message() of an SEI RBSP whose
// header bytes are already skipped; fn returns false to stop with its own error. `capped`:
// a message cut by the end of the data ends the walk quietly.
bool ForEachSeiMessage(const uint8_t* p, size_t n, bool capped,
                       const std::function<bool(int, const uint8_t*, size_t)>& fn, std::string& error);

// The payloads the codecs share, with the same names in both standards.
bool ParseMasteringDisplay(const uint8_t* p, size_t n, MasteringDisplay& md, std::string& error);
bool ParseContentLight(const uint8_t* p, size_t n, ContentLight& cll, std::string& error);
bool ParseAlternativeTransfer(const uint8_t* p, size_t n, int& transfer, std::string& error);

// The messages every H.264 and H.265 SEI may carry, decoded into facts. False with the
// reason for the ones that are broken.
bool ParseCommonSei(int type, const uint8_t* p, size_t n, SeiFacts& facts, std::string& error);

}  // namespace qvutil
