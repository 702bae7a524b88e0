#pragma once

// The two ways `inspect` prints what it found: a text page for people and one JSON object in
// ffprobe's layout ("format" and "streams", ffprobe's key names and value spellings, and
// qvutil's own facts under keys ffprobe does not use).

#include "StreamModel.h"
#include "container/Demux.h"

#include <string>
#include <vector>

namespace qvutil {

// format_name and format_long_name of a bare stream of this codec, and of a container, as
// ffprobe names them.
// printf into a string (up to 511 characters).
std::string Format(const char* fmt, ...);

void SetElementaryFormat(FormatInfo& f, Codec codec);
// A bare audio stream, by the codec its frames showed ("mp2", "aac", "ac3", ...).
void SetElementaryAudioFormat(FormatInfo& f, const std::string& codec);
void SetContainerFormat(FormatInfo& f, Container c);

std::string TextReport(const MediaModel& model);
std::string JsonReport(const MediaModel& model);
// A bare elementary stream's report, from its analysis alone.
MediaModel ElementaryModel(const FormatInfo& format, const StreamModel& stream);

// One line of `qvutil frames`: offset, size, type, key flag, structure and kind.
std::string FrameLine(const Picture& p, int streamId);
std::string FrameHeader(bool withStream);

}  // namespace qvutil
