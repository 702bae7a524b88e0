// Which container a file is, from its first bytes: those this tool reads, by their sync
// bytes, pack header, box types or EBML header, and the common formats it does not, by
// their signatures, so that they are refused with a way out rather than scanned for start
// codes that are not there.

#include "Pes.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace qvutil {

namespace {

enum Kind { kVideo, kOtherVideo, kRawVideo, kImage, kAudio, kNotMedia, kTs204 };

struct Signature {
    const char* name;
    Kind kind;
};

bool At(const uint8_t* h, size_t n, size_t at, const char* sig, size_t len) {
    return at + len <= n && std::memcmp(h + at, sig, len) == 0;
}

// ISO base media files that hold still pictures rather than video or sound.
bool IsoImage(const uint8_t* h, size_t n) {
    static const char* const kImages[] = {"avif", "heic", "heix", "heim", "heis", "mif1"};
    for (const char* b : kImages)
        if (At(h, n, 8, b, 4)) return true;
    return false;
}

// A signature of a format this tool does not read; for MP4 and Matroska, which it reads,
// false with *c set.
bool Signed(const uint8_t* h, size_t n, Signature* out, Container* c) {
    static const struct {
        size_t at;
        const char* bytes;
        size_t len;
        Signature sig;
    } kTable[] = {
        {0, "\x89PNG\r\n\x1a\n", 8, {"PNG", kImage}},
        {0, "\xff\xd8\xff", 3, {"JPEG", kImage}},
        {0, "GIF87a", 6, {"GIF", kImage}},
        {0, "GIF89a", 6, {"GIF", kImage}},
        {0, "II*\0", 4, {"TIFF", kImage}},
        {0, "MM\0*", 4, {"TIFF", kImage}},
        {0, "\0\0\0\x0cjP  \r\n\x87\n", 12, {"JPEG 2000", kImage}},
        {0, "\xff\x0a", 2, {"JPEG XL", kImage}},
        {8, "WEBP", 4, {"WebP", kImage}},
        {8, "AVI ", 4, {"AVI", kVideo}},
        {8, "CDXA", 4, {"Video CD (RIFF CDXA)", kVideo}},
        {8, "WAVE", 4, {"WAV", kAudio}},
        {8, "AIFF", 4, {"AIFF", kAudio}},
        {0, "FLV\x01", 4, {"Flash Video (FLV)", kVideo}},
        {0, "\x30\x26\xb2\x75\x8e\x66\xcf\x11", 8, {"ASF (WMV)", kVideo}},
        {0, ".RMF", 4, {"RealMedia", kOtherVideo}},
        {0, "OggS", 4, {"Ogg", kOtherVideo}},
        {0, "DKIF", 4, {"IVF (VP8, VP9 or AV1)", kOtherVideo}},
        {0, "YUV4MPEG2 ", 10, {"YUV4MPEG2 raw video", kRawVideo}},
        {0, "ID3", 3, {"MP3 (ID3 tag)", kAudio}},
        {0, "fLaC", 4, {"FLAC", kAudio}},
        {0, "#!AMR", 5, {"AMR", kAudio}},
        {0, "PK\x03\x04", 4, {"ZIP archive", kNotMedia}},
        {0, "\x1f\x8b", 2, {"gzip archive", kNotMedia}},
        {0, "%PDF", 4, {"PDF document", kNotMedia}},
    };
    for (const auto& e : kTable) {
        // RIFF and AIFF containers say which they are at byte 8.
        if (e.at == 8 && !At(h, n, 0, "RIFF", 4) && !At(h, n, 0, "FORM", 4)) continue;
        if (At(h, n, e.at, e.bytes, e.len)) {
            *out = e.sig;
            return true;
        }
    }
    if (At(h, n, 0, "\x1a\x45\xdf\xa3", 4)) {
        *c = Container::kMatroska;
        return false;
    }
    // ISO base media and QuickTime: a box size (0: to the end, 1: 64 bits follow), then a
    // box type found at a file's start.
    static const char* const kBoxes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot", "styp", "sidx", "moof"};
    for (const char* box : kBoxes) {
        if (n >= 8 && At(h, n, 4, box, 4)) {
            if (box[0] == 'f' && box[1] == 't' && IsoImage(h, n)) {
                *out = {"HEIF/AVIF", kImage};
                return true;
            }
            *c = Container::kMp4;
            return false;
        }
    }
    // BMP: "BM", a file size, two reserved words of zero.
    if (n >= 14 && h[0] == 'B' && h[1] == 'M' && !(h[6] | h[7] | h[8] | h[9])) {
        *out = {"BMP", kImage};
        return true;
    }
    return false;
}

// Sync bytes one packet apart from some start on: every one the head holds, up to 8, and
// 8 indeed where junk came first; a start within the first packet (a capture cut anywhere)
// does with fewer in a short file, if a whole packet follows. A head that opens with a
// start code is a bare stream, whatever bytes follow.
bool Packets(const uint8_t* h, size_t n, size_t size, size_t syncAt) {
    if (n >= 4 && !h[0] && !h[1] && (h[2] == 1 || (!h[2] && h[3] == 1))) return false;
    for (size_t o = 0; o + syncAt < n; ++o) {
        size_t seen = 0;
        bool ok = true;
        for (size_t at = o + syncAt; at < n && seen < 8 && ok; at += size, ++seen) ok = h[at] == 0x47;
        if (ok && (seen == 8 || (o < size && o + size <= n))) return true;
    }
    return false;
}

// A pack header's start code and its first marker bits, after zero bytes at most.
bool PackStart(const uint8_t* h, size_t n) {
    size_t i = 0;
    while (i < n && h[i] == 0) ++i;
    return i >= 2 && i + 2 < n && h[i] == 1 && h[i + 1] == 0xBA &&
           ((h[i + 2] & 0xC0) == 0x40 || (h[i + 2] & 0xF0) == 0x20);
}

// A pack header at i whose end is where the next start code begins (MPEG-2: 14 bytes and
// its stuffing; MPEG-1: 12 bytes): a pack, not a slice that happens to be numbered 0xBA.
bool PackAt(const uint8_t* h, size_t n, size_t i) {
    if (i + 16 > n || h[i] || h[i + 1] || h[i + 2] != 1 || h[i + 3] != 0xBA) return false;
    size_t end;
    if ((h[i + 4] & 0xC0) == 0x40) end = i + 14 + (h[i + 13] & 7);
    else if ((h[i + 4] & 0xF0) == 0x20) end = i + 12;
    else return false;
    return end + 3 <= n && !h[end] && !h[end + 1] && h[end + 2] == 1;
}

// How many packs the window holds, wherever they stand (junk may come before and between).
size_t Packs(const uint8_t* h, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i + 16 <= n; ++i) {
        const void* z = std::memchr(h + i, 0xBA, n - i);
        if (!z) break;
        const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(z) - h);
        if (at >= 3 && PackAt(h, n, at - 3)) ++count;
        i = at;
    }
    return count;
}

// The share of packet places that hold a sync byte, at the best of the packet's offsets.
double SyncShare(const uint8_t* h, size_t n, size_t size, size_t syncAt) {
    double best = 0;
    for (size_t o = 0; o < size && o + syncAt < n; ++o) {
        size_t places = 0, syncs = 0;
        for (size_t at = o + syncAt; at < n; at += size, ++places) syncs += h[at] == 0x47;
        if (places) best = std::max(best, static_cast<double>(syncs) / static_cast<double>(places));
    }
    return best;
}

std::string Refusal(const Signature& s) {
    const std::string name = s.name;
    switch (s.kind) {
    case kVideo:
        return name + " file, a container qvutil does not read (it reads MPEG-TS, M2TS, MPEG-PS,\n"
                      "MP4/MOV/3GP and Matroska/WebM, and bare H.264, H.265 and MPEG-1/2 streams).\n"
                      "Copy its streams into Matroska with ffmpeg, unchanged:\n"
                      "  ffmpeg -i IN -map 0 -c copy OUT.mkv";
    case kOtherVideo:
        return name + " file, in codecs qvutil does not read. To get an H.264 stream of its video:\n"
                      "  ffmpeg -i IN -map 0:v:0 -c:v libx264 OUT.h264";
    case kRawVideo:
        return name + ": uncompressed pictures, not a coded stream. To code them:\n"
                      "  ffmpeg -i IN -c:v libx264 OUT.h264";
    case kImage:
        return name + " image, not a video stream. To make a one-picture H.264 stream of it:\n"
                      "  ffmpeg -i IN -c:v libx264 OUT.h264";
    case kAudio:
        return name + " file, a format qvutil does not read ('ffprobe IN' lists what it holds).";
    case kNotMedia:
        return name + ", not a video stream.";
    case kTs204:
        return name + ": qvutil reads 188- and 192-byte packets. To repack them:\n"
                      "  ffmpeg -i IN -map 0 -c copy -f mpegts OUT.ts";
    }
    return name;
}

// A file name that stands as one word on any shell's command line as it is.
bool PlainWord(const std::string& s) {
    if (s.empty() || s[0] == '-') return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("_./:+,=@-", c)) return false;
    return true;
}

}  // namespace

Container DetectContainer(const uint8_t* head, size_t n, std::string* refusal) {
    refusal->clear();
    Signature sig;
    Container c = Container::kElementary;
    if (Signed(head, n, &sig, &c)) {
        *refusal = Refusal(sig);
        return Container::kElementary;
    }
    if (c != Container::kElementary) return c;
    // The evidence is weighed as ffmpeg's probes weigh it: sync bytes a packet apart against
    // packs (with junk tolerated before and between them). A program stream whose bytes
    // happen to make a short run of sync bytes stays a program stream.
    const size_t packs = Packs(head, n);
    const bool fewSyncs = packs >= 2 && SyncShare(head, n, 188, 0) < 0.5 && SyncShare(head, n, 192, 4) < 0.5;
    if (fewSyncs) return Container::kMpegPs;
    if (Packets(head, n, 188, 0)) return Container::kMpegTs;
    if (Packets(head, n, 192, 4)) return Container::kM2ts;
    if (Packets(head, n, 204, 0)) {
        *refusal = Refusal({"MPEG-TS with 204-byte packets", kTs204});
        return Container::kElementary;
    }
    if (PackStart(head, n) || packs >= 2) return Container::kMpegPs;
    return Container::kElementary;
}

std::string FillRefusal(const std::string& refusal, const std::string& path) {
    if (!PlainWord(path)) return refusal;
    // OUT: the file's name without its extension, beside it.
    const size_t slash = path.find_last_of("/\\"), dot = path.rfind('.');
    const bool ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string stem = ext ? path.substr(0, dot) : path;
    std::string s;
    for (size_t i = 0; i < refusal.size();) {
        const char after = i + 3 < refusal.size() ? refusal[i + 3] : ' ';
        if (refusal.compare(i, 3, " IN") == 0 && (after == ' ' || after == '\'' || after == '\n')) {
            s += " " + path;
            i += 3;
        } else if (refusal.compare(i, 5, " OUT.") == 0) {
            s += " " + stem + ".";
            i += 5;
        } else {
            s += refusal[i++];
        }
    }
    return s;
}

const char* ContainerName(Container c) {
    switch (c) {
    case Container::kMpegTs: return "MPEG-TS";
    case Container::kM2ts: return "M2TS";
    case Container::kMpegPs: return "MPEG-PS";
    case Container::kMp4: return "MP4";
    case Container::kMatroska: return "Matroska";
    case Container::kElementary: break;
    }
    return "elementary stream";
}

const char* FormatName(Container c) {
    switch (c) {
    case Container::kMpegTs:
    case Container::kM2ts: return "mpegts";
    case Container::kMpegPs: return "mpeg";
    case Container::kMp4: return "mov,mp4,m4a,3gp,3g2,mj2";
    case Container::kMatroska: return "matroska,webm";
    case Container::kElementary: break;
    }
    return "";
}

std::unique_ptr<Demuxer> MakeDemuxer(Container c, EsSink& sink) {
    switch (c) {
    case Container::kMpegTs: return MakeTsDemux(sink, 188);
    case Container::kM2ts: return MakeTsDemux(sink, 192);
    case Container::kMpegPs: return MakePsDemux(sink);
    case Container::kMp4: return MakeMp4Demux(sink);
    case Container::kMatroska: return MakeMkvDemux(sink);
    case Container::kElementary: break;
    }
    return nullptr;
}

const char* KindName(StreamKind k) {
    switch (k) {
    case StreamKind::kVideo: return "video";
    case StreamKind::kAudio: return "audio";
    case StreamKind::kSubtitle: return "subtitle";
    case StreamKind::kAttachment: return "attachment";
    case StreamKind::kData: break;
    }
    return "data";
}

}  // namespace qvutil
