// escape and unescape: the library's escape-byte passes over a payload of any size.

#include "Commands.h"
#include "Input.h"
#include "QvStartCode.h"

#include <algorithm>

namespace qvutil {

namespace {

// True when the raw bytes 00 00 01 FF end at position e of buf (e >= 3).
bool EscapeEndsAt(const std::vector<uint8_t>& buf, size_t e) {
    return e >= 3 && buf[e - 3] == 0 && buf[e - 2] == 0 && buf[e - 1] == 1 && buf[e] == 0xFF;
}

// Where the restoring pass may stop a piece: no escape may end in its last four bytes, so
// the byte after the cut is one the pass examines and the three before it are the ones
// its window holds. 0 when the piece has no such place yet.
size_t RestoreCut(const std::vector<uint8_t>& buf, size_t carry) {
    for (size_t c = buf.size(); c > carry; --c) {
        bool safe = true;
        for (size_t e = c >= 4 ? c - 4 : 0; e < c && safe; ++e) safe = !EscapeEndsAt(buf, e);
        if (safe) return c;
    }
    return 0;
}

}  // namespace

int CmdEscape(int argc, char** argv, bool restore) {
    const std::string cmd = restore ? "unescape" : "escape";
    Args args(cmd, {{"-o", "--output", true}},
              restore ? "Usage: qvutil unescape [FILE] [-o OUT]\n"
                        "\n"
                        "Drops every escape byte FF that follows 00 00 01, undoing 'qvutil escape'.\n"
                        "\n"
                        "  -o, --output=OUT  write to OUT instead of standard output\n"
                      : "Usage: qvutil escape [FILE] [-o OUT]\n"
                        "\n"
                        "Copies a payload and inserts an escape byte FF after every 00 00 01 that is\n"
                        "followed by a byte F0 to FF, so the payload never imitates the start codes\n"
                        "0x1f0 to 0x1fe. 'qvutil unescape' gives the payload back.\n"
                        "\n"
                        "  -o, --output=OUT  write to OUT instead of standard output\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    if (args.Operands().size() > 1) return args.UsageError("extra operand '" + args.Operands()[1] + "'");

    Input in;
    if (!in.Open(args.Operands().empty() ? "-" : args.Operands()[0])) return kUsage;
    Output out;
    if (!out.Open(args.Has("--output") ? args.Value("--output") : "-")) return kUsage;

    // Each pass runs over the three input bytes before a piece plus the piece; those three
    // come out first, unchanged, and are not written again.
    Progress progress(cmd, in.Size());
    std::vector<uint8_t> buf, esc;
    size_t carry = 0;
    int64_t done = 0;
    int status = kOk;
    for (bool eof = false; !eof && status == kOk;) {
        const long got = in.Read(buf, PieceSize());
        if (got < 0) {
            status = kUsage;
            break;
        }
        eof = got == 0;
        progress.Update(done += got);
        const size_t cut = eof ? buf.size() : restore ? RestoreCut(buf, carry) : buf.size();
        if (cut <= carry) continue;
        esc.resize(cut + cut / 4 + 4);
        const int n = restore ? QvStartCode::RestoreRaceBytes(buf.data(), static_cast<int32_t>(cut), esc.data())
                              : QvStartCode::RemoveRaceBytes(buf.data(), static_cast<int32_t>(cut), esc.data());
        if (!out.Write(esc.data() + carry, static_cast<size_t>(n) - carry)) status = kUsage;
        const size_t keep = std::min<size_t>(3, cut);
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(cut - keep));
        carry = keep;
    }
    progress.Finish();
    if (!out.Close()) status = kUsage;
    return status;
}

}  // namespace qvutil
