#pragma once

// The two ways `inspect` prints what it found: a text page for people and one JSON object in
// ffprobe's layout ("format" and "streams", ffprobe's key names and value spellings, and
// qvutil's own facts under keys ffprobe does not use).

#include "StreamModel.h"
#include "container/Demux.h"

#include <string>
#include <vector>

namespace qvutil {

struct FormatInfo {
    std::string filename;
    std::string formatName;      // ffprobe's format_name: "h264", "hevc", "mpegvideo", "mpegts", "mpeg"
    std::string formatLongName;
    std::string container;       // for the text page
    int64_t size = 0;
    int nbStreams = -1;          // all streams of a container (audio too); -1: the streams listed
    std::string md5, sha1;       // lower-case hex, empty when not computed
};

// format_name and format_long_name of a bare stream of this codec, and of a container, as
// ffprobe names them.
void SetElementaryFormat(FormatInfo& f, Codec codec);
void SetContainerFormat(FormatInfo& f, Container c);

std::string TextReport(const FormatInfo& format, const std::vector<const StreamModel*>& streams);
std::string JsonReport(const FormatInfo& format, const std::vector<const StreamModel*>& streams);

// One line of `qvutil frames`: offset, size, type, key flag, structure and kind.
std::string FrameLine(const Picture& p, int streamId);
std::string FrameHeader(bool withStream);

}  // namespace qvutil
