// inspect and scan: what a stream holds, from its start codes.

#include "Commands.h"
#include "Headers.h"
#include "QvMD5.h"
#include "QvSHA1.h"
#include "StartCodes.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace qvutil {

namespace {

std::string Lower(const char* s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Enough of the stream from the sequence header on for every header we decode.
constexpr size_t kHeaderBytes = 4096;

void PrintSequence(const SequenceInfo& s, int64_t offset) {
    std::printf("First %s (offset %" PRId64 ")\n", s.what.c_str(), offset);
    if (!s.ok) {
        std::printf("  not decoded: %s\n", s.error.c_str());
        return;
    }
    std::printf("  profile      %s\n", s.profile.c_str());
    std::printf("  level        %s\n", s.level.c_str());
    std::printf("  picture      %dx%d", s.width, s.height);
    if (s.cropLeft || s.cropRight || s.cropTop || s.cropBottom)
        std::printf(" (coded %dx%d, cropped left %d right %d top %d bottom %d)", s.codedWidth, s.codedHeight,
                    s.cropLeft, s.cropRight, s.cropTop, s.cropBottom);
    std::printf("\n  chroma       %s\n", s.chroma.c_str());
}

}  // namespace

int CmdInspect(int argc, char** argv) {
    Args args("inspect", {}, "Usage: qvutil inspect FILE\n"
                             "\n"
                             "One screen about an elementary video stream: its size, MD5 and SHA-1, the\n"
                             "codec it looks like, its start codes counted by type, and its first sequence\n"
                             "header decoded (profile, level, picture size after cropping).\n"
                             "FILE '-' reads standard input.\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    if (args.Operands().size() != 1) return args.UsageError("needs exactly one FILE");

    Input in;
    if (!in.Open(args.Operands()[0])) return kUsage;
    QvMD5 md5;
    QvSHA1 sha1;
    if (!md5.Init() || !sha1.Init()) {
        Error("out of memory");
        return kUsage;
    }
    CodecDetector detector;
    uint64_t counts[256] = {};
    uint64_t total = 0;
    int64_t headerOffset = -1, size = 0;
    std::vector<uint8_t> header;  // the bytes from the first sequence header on

    Progress progress("inspect", in.Size());
    const bool ok = WalkForward(
        in, 0,
        [&](const Hit& h) {
            ++counts[h.code & 0xFF];
            ++total;
            if (detector.Feed(h) && headerOffset < 0 && IsSequenceHeader(detector.Get(), h)) {
                headerOffset = h.offset;
                header.assign(h.data, h.data + std::min(h.avail, kHeaderBytes));
            }
        },
        [&](const uint8_t* p, size_t n) {
            md5.Append(const_cast<uint8_t*>(p), static_cast<int32_t>(n));
            sha1.Append(const_cast<uint8_t*>(p), static_cast<int32_t>(n));
            size += static_cast<int64_t>(n);
            // A header cut by the end of a piece is completed from the pieces after it.
            if (headerOffset >= 0 && header.size() < kHeaderBytes &&
                size - static_cast<int64_t>(n) == headerOffset + static_cast<int64_t>(header.size()))
                header.insert(header.end(), p, p + std::min(n, kHeaderBytes - header.size()));
        },
        &progress);
    progress.Finish();
    if (!ok) return kUsage;
    md5.Final();
    sha1.Final();

    const Codec codec = detector.Get();
    std::printf("File         %s\n", in.Name().c_str());
    std::printf("Size         %" PRId64 " bytes\n", size);
    std::printf("MD5          %s\n", Lower(md5.GetString()).c_str());
    std::printf("SHA-1        %s\n", Lower(sha1.GetString()).c_str());
    std::printf("Codec        %s\n", total ? CodecName(codec) : "none (no start codes)");
    std::printf("Start codes  %" PRIu64 "\n", total);

    std::map<int, uint64_t> byType;
    for (int c = 0; c < 256; ++c)
        if (counts[c]) byType[CodeType(codec, 0x100u + static_cast<unsigned>(c))] += counts[c];
    // NAL unit types by number; MPEG start codes (and unknown ones) by code byte.
    const bool byCodeByte = codec == Codec::Mpeg12 || codec == Codec::Unknown;
    for (const auto& t : byType) {
        char label[16];
        std::snprintf(label, sizeof label, byCodeByte ? "0x%02x" : "%d", t.first);
        std::printf("  %8" PRIu64 "  %-5s %s\n", t.second, label, TypeName(codec, t.first).c_str());
    }

    if (headerOffset >= 0) PrintSequence(DecodeSequenceHeader(codec, header.data(), header.size()), headerOffset);
    else if (codec != Codec::Unknown) std::printf("No sequence header found\n");
    return kOk;
}

int CmdScan(int argc, char** argv) {
    Args args("scan", {{nullptr, "--reverse", false}, {"-r", nullptr, false}, {nullptr, "--find", true}},
              "Usage: qvutil scan [--reverse] [--find CODEWORD] FILE\n"
              "\n"
              "One line per start code (00 00 01 xx): its byte offset, its code word 0x1xx and\n"
              "what it is in the codec the stream looks like; a summary line at the end.\n"
              "\n"
              "  -r, --reverse     walk from the end backward (FILE must be a regular file)\n"
              "  --find CODEWORD   only start codes with this code word, e.g. 0x1b3 or 1b3\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    if (args.Operands().size() != 1) return args.UsageError("needs exactly one FILE");
    uint32_t find = 0;
    if (args.Has("--find")) {
        const std::string v = args.Value("--find");
        char* end = nullptr;
        const unsigned long w = std::strtoul(v.c_str(), &end, 16);
        if (v.empty() || *end || w < 0x100 || w > 0x1FF)
            return args.UsageError("CODEWORD must be 0x100 to 0x1ff, not '" + v + "'");
        find = static_cast<uint32_t>(w);
    }
    const bool reverse = args.Has("--reverse") || args.Has("-r");

    Input in;
    if (!in.Open(args.Operands()[0])) return kUsage;
    if (reverse && !in.Seekable()) {
        Error(in.Name() + ": --reverse needs a regular file, not a pipe");
        return kUsage;
    }

    // The codec names the start codes. A file's start tells it before the walk (a backward
    // walk or a search may never meet the code that decides); from a pipe, lines wait
    // for the first sequence-level start code, so few ever wait.
    CodecDetector detector(in.Seekable() ? DetectCodec(in) : Codec::Unknown);
    std::vector<std::pair<int64_t, uint32_t>> waiting;
    uint64_t total = 0;
    auto print = [&](int64_t offset, uint32_t code) {
        std::printf("%" PRId64 " 0x%03x %s\n", offset, code,
                    TypeName(detector.Get(), CodeType(detector.Get(), code)).c_str());
    };
    auto flush = [&] {
        for (const auto& w : waiting) print(w.first, w.second);
        waiting.clear();
    };
    const HitFn onHit = [&](const Hit& h) {
        ++total;
        if (detector.Get() != Codec::Unknown || detector.Feed(h) || waiting.size() >= 65536) {
            flush();
            print(h.offset, h.code);
        } else {
            waiting.emplace_back(h.offset, h.code);
        }
    };
    Progress progress("scan", in.Size());
    const bool ok = reverse ? WalkBackward(in, find, onHit, &progress)
                            : WalkForward(in, find, onHit, nullptr, &progress);
    progress.Finish();
    flush();
    if (!ok) return kUsage;
    if (find) {
        std::printf("%" PRIu64 " start code%s 0x%03x (%s), %s\n", total, total == 1 ? "" : "s", find,
                    TypeName(detector.Get(), CodeType(detector.Get(), find)).c_str(), CodecName(detector.Get()));
    } else {
        std::printf("%" PRIu64 " start code%s, %s%s\n", total, total == 1 ? "" : "s", CodecName(detector.Get()),
                    reverse ? ", walked backward" : "");
    }
    return kOk;
}

}  // namespace qvutil
