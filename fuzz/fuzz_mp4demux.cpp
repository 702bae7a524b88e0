// The MP4 box reader: any file, read at offsets and as a pipe, gives the same samples from
// within the file. Input: a byte that picks the pieces and whether samples are read whole,
// then the file.

#include "FramedFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qvfuzz::FuzzFramed(qvutil::Container::kMp4, data, size);
}
