// qvutil: the QvUtility classes at work on real streams.

#include "Commands.h"
#include "Input.h"
#include "QvVersion.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qvutil {

namespace {

const char kHelpText[] =
    "Usage: qvutil COMMAND [OPTIONS] [FILE...]\n"
    "\n"
    "Look inside video files (MP4, MOV, 3GP, Matroska, WebM, MPEG-TS, M2TS, MPEG-PS or bare\n"
    "H.264, H.265 and MPEG-1/2 streams): every stream they hold, H.264, H.265, MPEG-1/2, VP9\n"
    "and AV1 video down to each frame, audio by its codec's own headers. Also the everyday\n"
    "chores around them. FILE '-' or no FILE means standard input where that makes sense.\n"
    "\n"
    "Commands:\n"
    "  inspect [--json] [--no-digests] FILE\n"
    "                                every stream of the file; of each video stream its sequence\n"
    "                                header, frames and GOPs, of each audio stream its codec,\n"
    "                                rate, channels and frames (--json: as ffprobe's JSON)\n"
    "  frames [--keys] FILE          one line per picture: offset, bytes, type, key, pts, dts\n"
    "  scan [--reverse] [--find CODEWORD] FILE\n"
    "                                one line per start code: offset, code word, what it is\n"
    "  md5 [OPTION]... [FILE...]     print or check MD5 sums as coreutils md5sum does\n"
    "  sha1 [OPTION]... [FILE...]    print or check SHA-1 sums as coreutils sha1sum does\n"
    "  base64 [-d] [-i] [-w COLS] [FILE]\n"
    "                                Base64 encode (wrapped at 76) or decode (always lenient)\n"
    "  escape [FILE] [-o OUT]        insert escape bytes after 00 00 01 before F0..FF\n"
    "  unescape [FILE] [-o OUT]      drop them again\n"
    "  demux FILE [-o OUT] [--stream ID] [--list]\n"
    "                                one elementary stream out of a container (Annex B from MP4\n"
    "                                and Matroska, AAC as ADTS), as ffmpeg -c copy writes it\n"
    "  plot FILE [-o OUT.svg|OUT.html] [--stream ID] [--order decode|display] [--window S]\n"
    "                                frame sizes, GOPs and bit rate over time as a picture\n"
    "\n"
    "Options: --help (also after a command), --version.\n"
    "Exit status: 0 success, 1 a check failed, 2 bad usage or unreadable input.\n"
    "md5, sha1 and base64 exit as coreutils does: 1 also for a FILE that cannot be read.\n";

}  // namespace

}  // namespace qvutil

int main(int argc, char** argv) {
    using namespace qvutil;
    InitProcess(argc, argv);
    if (argc < 2) {
        std::fputs(kHelpText, stderr);
        return kUsage;
    }
    const char* cmd = argv[1];
    if (!std::strcmp(cmd, "--help") || !std::strcmp(cmd, "-h") || !std::strcmp(cmd, "help")) {
        std::fputs(kHelpText, stdout);
        return kOk;
    }
    if (!std::strcmp(cmd, "--version")) {
        std::printf("qvutil (QvUtility) %s\n", QV_VERSION_STRING);
        return kOk;
    }
    // Each command sees its own name as argv[0].
    --argc;
    ++argv;
    int status;
    if (!std::strcmp(cmd, "inspect")) status = CmdInspect(argc, argv);
    else if (!std::strcmp(cmd, "frames")) status = CmdFrames(argc, argv);
    else if (!std::strcmp(cmd, "scan")) status = CmdScan(argc, argv);
    else if (!std::strcmp(cmd, "md5")) return CmdDigest(argc, argv, false);
    else if (!std::strcmp(cmd, "sha1")) return CmdDigest(argc, argv, true);
    else if (!std::strcmp(cmd, "base64")) return CmdBase64(argc, argv);
    else if (!std::strcmp(cmd, "escape")) status = CmdEscape(argc, argv, false);
    else if (!std::strcmp(cmd, "unescape")) status = CmdEscape(argc, argv, true);
    else if (!std::strcmp(cmd, "demux")) status = CmdDemux(argc, argv);
    else if (!std::strcmp(cmd, "plot")) status = CmdPlot(argc, argv);
    else if (cmd[0] == '-') {
        Error(std::string("'") + cmd + "' is no command: options follow the command ('qvutil inspect " + cmd +
              " FILE')\nTry 'qvutil --help'.");
        return kUsage;
    } else {
        Error(std::string("unknown command '") + cmd + "'\nTry 'qvutil --help'.");
        return kUsage;
    }
    // A report that cannot be written is lost: say so (md5, sha1 and base64 check their own
    // writes, and exit as coreutils does).
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        Error("write error: " + std::string(errno ? std::strerror(errno) : "standard output"));
        return kUsage;
    }
    if (std::fclose(stdout) != 0) {
        std::fprintf(stderr, "qvutil: write error: %s\n", std::strerror(errno));
        return kUsage;
    }
    return status;
}
