#pragma once

// Which audio codec a stream's first bytes are, for streams whose container does not say (a
// transport stream's private data, MPEG audio of unknown layer): the frame headers of MPEG
// audio (two in a row), ADTS AAC, AC-3 and E-AC-3, and DTS, as ffmpeg's probes tell them.

#include <cstddef>
#include <cstdint>
#include <string>

namespace qvutil {

// ffmpeg's codec name ("mp2", "aac", "eac3", ...) for the audio the bytes begin with (or
// hold within their first few bytes); "" when they are none of these.
std::string ProbeAudio(const uint8_t* p, size_t n);

}  // namespace qvutil
