// The MPEG-1/2 header parsers through the analyser: any bytes as an elementary stream,
// whole and in pieces (see StreamFuzz.h).

#include "StreamFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qvfuzz::FuzzStream(qvutil::Codec::Mpeg12, data, size);
}
