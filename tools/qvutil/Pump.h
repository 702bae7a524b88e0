#pragma once

// Runs a demuxer over an input: the bytes it asks for, read at offsets from a regular file
// or in order from a pipe (skipped bytes read past), and every byte of the input, once and
// in order, to an observer such as the digests.

#include "Input.h"
#include "StartCodes.h"
#include "container/Demux.h"

#include <functional>
#include <string>
#include <vector>

namespace qvutil {

enum class PumpResult {
    kOk,
    kReadError,  // reported by the input
    kNeedsFile,  // the demuxer wanted bytes a pipe had already passed
};

struct PumpRun {
    const BytesFn* everyByte = nullptr;  // sees the whole input in order (null: nobody)
    Progress* progress = nullptr;
    // Pieces of a sequential read; 0 for PieceSize().
    size_t piece = 0;
    // everyByte may still read a piece until this many more have been given to it: the
    // pump reads into that many buffers more, in turn, and calls drain (where set) before
    // it lets them go, to wait until everyByte is done with them.
    size_t lag = 0;
    const std::function<void()>* drain = nullptr;
};

// head: the input's first bytes, already read (the probe); they are fed first. *size: the
// bytes the input held (read to its end) or, when a demuxer stopped early on a regular file,
// its size. *at: for kNeedsFile, the offset the demuxer wanted.
PumpResult RunDemuxer(Input& in, const std::vector<uint8_t>& head, Demuxer& demux, const PumpRun& run,
                      int64_t* size, int64_t* at);

// The demuxer of a bare elementary stream: all its bytes to the sink as one stream whose id
// is kElementaryId.
constexpr int kElementaryId = -1;
std::unique_ptr<Demuxer> MakeElementaryDemux(EsSink& sink);

}  // namespace qvutil
