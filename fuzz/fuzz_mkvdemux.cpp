// The EBML reader of Matroska and WebM: any file, read at offsets and as a pipe, gives the
// same frames from within the file. Input: a byte that picks the pieces and whether frames
// are read whole, then the file.

#include "FramedFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qvfuzz::FuzzFramed(qvutil::Container::kMatroska, data, size);
}
