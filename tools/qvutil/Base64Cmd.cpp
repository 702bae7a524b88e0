// base64: coreutils base64's options, messages and exit statuses, with the library's
// lenient decoder.

#include "Commands.h"
#include "Input.h"
#include "QvBase64.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qvutil {

namespace {

bool IsAlphabet(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Collects output in 64 KiB runs: the encoder and decoder hand over many small pieces.
class Buffered {
public:
    bool Put(const uint8_t* p, size_t n) {
        m_buf.insert(m_buf.end(), p, p + n);
        return m_buf.size() < (1u << 16) || Flush();
    }
    bool Flush() {
        const size_t n = m_buf.size();
        const bool ok = (n == 0 || std::fwrite(m_buf.data(), 1, n, stdout) == n) && std::fflush(stdout) == 0;
        m_buf.clear();
        if (!ok) Error("write error: " + LastError());
        return ok;
    }

private:
    std::vector<uint8_t> m_buf;
};

// A failed read, worded as coreutils words it.
int ReadError(const Input& in) {
    Error("read error: " + in.Failure());
    return kCheckFailed;
}

int Encode(Input& in, int64_t cols) {
    Buffered out;
    Progress progress("base64", in.Size());
    const size_t piece = PieceSize() / 3 * 3 + 3;
    std::vector<uint8_t> buf, text;
    int64_t column = 0;
    int64_t done = 0;
    bool eof = false, any = false;
    while (!eof) {
        const long got = in.Read(buf, piece - buf.size());
        if (got < 0) return ReadError(in);
        eof = got == 0;
        progress.Update(done += got);
        // Whole groups of three only, until the input ends: then the padded rest.
        const size_t take = eof ? buf.size() : buf.size() / 3 * 3;
        if (take == 0) continue;
        text.resize(take / 3 * 4 + 8);
        const int n = QvBase64::Encode(reinterpret_cast<const char*>(buf.data()), static_cast<int>(take),
                                       reinterpret_cast<char*>(text.data()));
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(take));
        any = any || n > 0;
        const uint8_t* p = text.data();
        size_t left = static_cast<size_t>(n);
        while (left > 0) {
            size_t run = left;
            if (cols > 0 && cols - column < static_cast<int64_t>(run)) run = static_cast<size_t>(cols - column);
            if (!out.Put(p, run)) return kCheckFailed;
            p += run;
            left -= run;
            column += static_cast<int64_t>(run);
            if (cols > 0 && column == cols) {
                if (!out.Put(reinterpret_cast<const uint8_t*>("\n"), 1)) return kCheckFailed;
                column = 0;
            }
        }
    }
    if (cols > 0 && any && column > 0 && !out.Put(reinterpret_cast<const uint8_t*>("\n"), 1)) return kCheckFailed;
    progress.Finish();
    return out.Flush() ? kOk : kCheckFailed;
}

// Text goes to the decoder cut at group boundaries (every fourth alphabet character), so
// each piece decodes on its own exactly as the whole text would; a "=" in the third or
// fourth place of a group ends the decoding.
int Decode(Input& in) {
    Buffered out;
    Progress progress("base64", in.Size());
    std::vector<uint8_t> buf, bytes;
    int64_t done = 0;
    int place = 0;  // alphabet characters of the current group seen so far
    size_t scanned = 0;
    bool eof = false, stop = false;
    while (!eof && !stop) {
        const long got = in.Read(buf, PieceSize());
        if (got < 0) return ReadError(in);
        eof = got == 0;
        progress.Update(done += got);
        size_t cut = 0;
        for (size_t i = scanned; i < buf.size() && !stop; ++i) {
            if (IsAlphabet(buf[i])) {
                if (++place == 4) place = 0;
            } else if (buf[i] == '=' && place >= 2) {
                stop = true;
            }
            if (place == 0 || stop) cut = i + 1;
        }
        if (eof) cut = buf.size();
        // A group left open by a long run of skipped characters: they would be skipped
        // anyway, so only its alphabet characters (three at most) are kept waiting.
        if (!eof && !stop && buf.size() - cut > (size_t{1} << 16))
            buf.erase(std::remove_if(buf.begin() + static_cast<long>(cut), buf.end(),
                                     [](uint8_t c) { return !IsAlphabet(c); }),
                      buf.end());
        scanned = buf.size();
        if (cut == 0) continue;
        bytes.resize(cut + 1);
        const int n = QvBase64::Decode(reinterpret_cast<const char*>(buf.data()), static_cast<int>(cut),
                                       reinterpret_cast<char*>(bytes.data()));
        if (!out.Put(bytes.data(), static_cast<size_t>(n))) return kCheckFailed;
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(cut));
        scanned = buf.size();
    }
    progress.Finish();
    return out.Flush() ? kOk : kCheckFailed;
}

}  // namespace

int CmdBase64(int argc, char** argv) {
    Args args("base64", {{"-d", "--decode", false}, {"-i", "--ignore-garbage", false}, {"-w", "--wrap", true}},
              "Usage: qvutil base64 [OPTION]... [FILE]\n"
              "Base64 encode or decode FILE, or standard input, to standard output, with the\n"
              "options, output, messages and exit statuses of coreutils base64.\n"
              "With no FILE, or when FILE is -, read standard input.\n"
              "\n"
              "  -d, --decode          decode data\n"
              "  -i, --ignore-garbage  accepted for scripts: decoding always skips what it\n"
              "                        would ignore\n"
              "  -w, --wrap=COLS       wrap encoded lines after COLS characters (default 76);\n"
              "                        0 disables line wrapping\n"
              "\n"
              "Decoding is always lenient: line breaks and every character outside the\n"
              "alphabet are skipped, padding may be missing, and a '=' that ends a group ends\n"
              "the text. What coreutils calls invalid input decodes as far as it goes, with\n"
              "no error.\n"
              "Exit status: 0 success; 1 FILE could not be read or output not written;\n"
              "2 bad usage.\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    if (args.Operands().size() > 1) return args.UsageError("extra operand '" + args.Operands()[1] + "'");
    const std::string wrap = args.Value("--wrap", "76");
    char* end = nullptr;
    errno = 0;
    int64_t cols = std::strtoll(wrap.c_str(), &end, 10);
    if (wrap.empty() || *end || cols < 0) {
        Error("invalid wrap size: '" + wrap + "'");
        return kUsage;
    }
    if (errno == ERANGE) cols = 0;  // as coreutils: wider than any line, so never wrapped

    const std::string path = args.Operands().empty() ? "-" : args.Operands()[0];
    Input in;
    if (!in.Open(path, true)) {
        if (in.Directory()) return ReadError(in);
        Error(QuoteName(path) + ": " + in.Failure());
        return kCheckFailed;
    }
    return args.Has("--decode") ? Decode(in) : Encode(in, cols);
}

}  // namespace qvutil
