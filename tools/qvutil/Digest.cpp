// md5 and sha1: md5sum/sha1sum-compatible sums and checks, streamed in pieces.

#include "Commands.h"
#include "Input.h"
#include "QvMD5.h"
#include "QvSHA1.h"

#include <cctype>
#include <cstdio>
#include <memory>

namespace qvutil {

namespace {

// The digest of a whole input in lower-case hexadecimal, as md5sum prints it; "" on failure.
template <class Digest>
std::string Sum(Input& in) {
    Digest d;
    if (!d.Init()) {
        Error("out of memory");
        return "";
    }
    Progress progress(in.Name(), in.Size());
    std::vector<uint8_t> buf;
    int64_t done = 0;
    for (;;) {
        buf.clear();
        const long got = in.Read(buf, PieceSize());
        if (got < 0) return "";
        if (got == 0) break;
        d.Append(buf.data(), static_cast<int32_t>(got));
        progress.Update(done += got);
    }
    d.Final();
    std::string hex(static_cast<const char*>(d.GetString()));
    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return hex;
}

std::string SumOf(const std::string& path, bool sha1, bool& readable) {
    Input in;
    readable = in.Open(path);
    if (!readable) return "";
    std::string s = sha1 ? Sum<QvSHA1>(in) : Sum<QvMD5>(in);
    readable = !s.empty();
    return s;
}

// One "HEX  NAME" or "HEX *NAME" line of a list; false when it is not one.
bool ParseLine(std::string line, size_t hexLen, std::string& hex, std::string& name) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < hexLen + 2 || line[hexLen] != ' ' || (line[hexLen + 1] != ' ' && line[hexLen + 1] != '*'))
        return false;
    hex = line.substr(0, hexLen);
    for (char& c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    name = line.substr(hexLen + 2);
    return !name.empty();
}

int Check(const std::vector<std::string>& lists, bool sha1) {
    const size_t hexLen = sha1 ? 40 : 32;
    const char* kind = sha1 ? "SHA1" : "MD5";
    long mismatched = 0, unreadable = 0, malformed = 0;
    bool anyBadList = false;
    for (const std::string& list : lists) {
        Input listIn;
        if (!listIn.Open(list)) {
            anyBadList = true;
            continue;
        }
        LineReader lines(listIn);
        long good = 0;
        std::string line;
        while (lines.Next(line) > 0) {
            std::string expected, name;
            if (!ParseLine(line, hexLen, expected, name)) {
                ++malformed;
                continue;
            }
            ++good;
            bool readable = false;
            const std::string actual = SumOf(name, sha1, readable);
            if (!readable) {
                std::printf("%s: FAILED open or read\n", name.c_str());
                ++unreadable;
            } else if (actual != expected) {
                std::printf("%s: FAILED\n", name.c_str());
                ++mismatched;
            } else {
                std::printf("%s: OK\n", name.c_str());
            }
            std::fflush(stdout);
        }
        if (good == 0) {
            Error(list + ": no properly formatted " + kind + " checksum lines found");
            anyBadList = true;
        }
    }
    if (malformed)
        Error("WARNING: " + std::to_string(malformed) + " line" + (malformed == 1 ? " is" : "s are") +
              " improperly formatted");
    if (unreadable)
        Error("WARNING: " + std::to_string(unreadable) + " listed file" + (unreadable == 1 ? "" : "s") +
              " could not be read");
    if (mismatched)
        Error("WARNING: " + std::to_string(mismatched) + " computed checksum" + (mismatched == 1 ? "" : "s") +
              " did NOT match");
    return (mismatched || unreadable || anyBadList) ? kCheckFailed : kOk;
}

}  // namespace

int CmdDigest(int argc, char** argv, bool sha1) {
    const std::string cmd = sha1 ? "sha1" : "md5";
    const std::string tool = sha1 ? "sha1sum" : "md5sum";
    Args args(cmd, {{"-c", "--check", false}},
              "Usage: qvutil " + cmd + " [-c] [FILE...]\n"
              "\n"
              "Prints one line per FILE, 'HEX  NAME', in the format of " + tool + ", so that\n"
              "'" + tool + " -c' accepts it. With no FILE, or '-', reads standard input.\n"
              "\n"
              "  -c, --check   read such lines from the FILEs and check each named file\n"
              "                (hexadecimal in either case); exit 1 if any fails\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    std::vector<std::string> files = args.Operands();
    if (files.empty()) files.push_back("-");
    if (args.Has("--check")) return Check(files, sha1);

    int status = kOk;
    for (const std::string& file : files) {
        bool readable = false;
        const std::string sum = SumOf(file, sha1, readable);
        if (!readable) {
            status = kUsage;
            continue;
        }
        std::printf("%s  %s\n", sum.c_str(), file.c_str());
        std::fflush(stdout);
    }
    return status;
}

}  // namespace qvutil
