// md5 and sha1: the lines, options, messages and exit statuses of coreutils' md5sum and
// sha1sum, so that scripts can call either; inputs are streamed in pieces.

#include "Commands.h"
#include "Input.h"
#include "QvMD5.h"
#include "QvSHA1.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace qvutil {

namespace {

// The digest of a whole input in lower-case hexadecimal; false when reading fails.
template <class Digest>
bool Sum(Input& in, std::string& hex) {
    Digest d;
    if (!d.Init()) {
        Error("out of memory");
        return false;
    }
    Progress progress(in.Name(), in.Size());
    std::vector<uint8_t> buf;
    int64_t done = 0;
    for (;;) {
        buf.clear();
        const long got = in.Read(buf, PieceSize());
        if (got < 0) return false;
        if (got == 0) break;
        d.Append(buf.data(), static_cast<int32_t>(got));
        progress.Update(done += got);
    }
    d.Final();
    hex = static_cast<const char*>(d.GetString());
    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// hexLen hexadecimal digits at text + at, ending the text or followed by a NUL (where
// coreutils, reading C strings, sees the end).
bool IsHex(const std::string& text, size_t at, size_t hexLen) {
    if (text.size() < at + hexLen || (text.size() > at + hexLen && text[at + hexLen] != '\0')) return false;
    for (size_t k = at; k < at + hexLen; ++k)
        if (!std::isxdigit(static_cast<unsigned char>(text[k]))) return false;
    return true;
}

// '\\', '\n' and '\r' for a name with a backslash, newline or CR, which then goes on a line
// that starts with a backslash.
std::string Escape(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

// Lists may hold NUL bytes; as in coreutils, which reads names as C strings, one ends a name.
void CutAtNul(std::string& name) {
    name.resize(std::min(name.size(), name.find('\0')));
}

bool Unescape(std::string& name) {
    std::string out;
    for (size_t k = 0; k < name.size(); ++k) {
        char c = name[k];
        if (c == '\0') return false;
        if (c == '\\') {
            if (++k == name.size()) return false;
            c = name[k] == 'n' ? '\n' : name[k] == 'r' ? '\r' : name[k] == '\\' ? '\\' : '\0';
            if (c == '\0') return false;
        }
        out += c;
    }
    name = out;
    return true;
}

void Write(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stdout);
}

struct Options {
    bool sha1 = false;
    bool tag = false, binary = false, zero = false;                        // printing
    bool warn = false, quiet = false, status = false, strict = false;      // checking
    bool ignoreMissing = false;
    const char* Tag() const { return sha1 ? "SHA1" : "MD5"; }
    size_t HexLen() const { return sha1 ? 40 : 32; }
};

// Opens and digests one file; on failure says so as coreutils does ("NAME: reason"). Given
// missing, a file that does not exist is not reported: *missing tells the caller instead.
bool SumOf(const Options& o, const std::string& path, std::string& hex, bool* missing = nullptr) {
    Input in;
    const bool ok = in.Open(path, true) && (o.sha1 ? Sum<QvSHA1>(in, hex) : Sum<QvMD5>(in, hex));
    if (ok) return true;
    if (missing && in.Missing()) return *missing = true, false;
    if (!in.Failure().empty()) Error(QuoteName(path) + ": " + in.Failure());
    return false;
}

int Print(const Options& o, const std::vector<std::string>& files) {
    int status = kOk;
    const char end = o.zero ? '\0' : '\n';
    for (const std::string& file : files) {
        std::string hex;
        if (!SumOf(o, file, hex)) {
            status = kCheckFailed;
            continue;
        }
        const bool escape = !o.zero && file.find_first_of("\\\n\r") != std::string::npos;
        const std::string name = escape ? Escape(file) : file;
        std::string line = escape ? "\\" : "";
        if (o.tag)
            line += std::string(o.Tag()) + " (" + name + ") = " + hex;
        else
            line += hex + (o.binary ? " *" : "  ") + name;
        Write(line + end);
        std::fflush(stdout);
    }
    return status;
}

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + (n == 1 ? one : many);
}

class Checker {
public:
    explicit Checker(const Options& o) : m_o(o) {}
    // Checks every file that a list names; false when anything failed.
    bool CheckList(const std::string& list);

private:
    bool Parse(const std::string& line, std::string& hex, std::string& name);

    const Options& m_o;
    // Whether lines of the "HEX NAME" form (one blank, no mode mark) were met (1) or lines
    // of the default form (0). Once one form is met the other is not accepted, in later
    // lists too: a name with a leading blank or '*' would otherwise be read two ways.
    int m_oneBlank = -1;
};

// "HEX  NAME", "HEX *NAME", "HEX NAME" or "TAG (NAME) = HEX", each behind an optional '\'
// that says NAME is escaped. Lines come without their newline and a CR before it.
bool Checker::Parse(const std::string& line, std::string& hex, std::string& name) {
    const size_t hexLen = m_o.HexLen();
    auto at = [&line](size_t k) { return k < line.size() ? line[k] : '\0'; };
    size_t i = 0;
    while (IsBlank(at(i))) ++i;
    const bool escaped = at(i) == '\\';
    if (escaped) ++i;

    const std::string tag = m_o.Tag();
    if (line.compare(i, tag.size(), tag) == 0) {
        i += tag.size();
        if (at(i) == ' ') ++i;
        if (at(i) != '(') return false;
        const size_t close = line.rfind(')');
        if (close == std::string::npos || close <= i) return false;
        name = line.substr(i + 1, close - i - 1);
        if (escaped && !Unescape(name)) return false;
        size_t k = close + 1;
        while (IsBlank(at(k))) ++k;
        if (at(k) != '=') return false;
        for (++k; IsBlank(at(k));) ++k;
        if (!IsHex(line, k, hexLen)) return false;
        hex = line.substr(k, hexLen);
        if (!escaped) CutAtNul(name);
        return true;
    }

    if (line.size() - i < hexLen + 2) return false;
    if (!IsBlank(at(i + hexLen)) || !IsHex(line.substr(0, i + hexLen), i, hexLen)) return false;
    hex = line.substr(i, hexLen);
    i += hexLen + 1;
    if (line.size() - i == 1 || (at(i) != ' ' && at(i) != '*')) {
        if (m_oneBlank == 0) return false;
        m_oneBlank = 1;
    } else if (m_oneBlank != 1) {
        m_oneBlank = 0;
        ++i;  // the mode mark, which changes nothing in reading
    }
    name = line.substr(i);
    if (escaped) return Unescape(name);
    CutAtNul(name);
    return true;
}

bool Checker::CheckList(const std::string& list) {
    const std::string shown = QuoteName(list == "-" ? "standard input" : list);
    Input in;
    if (!in.Open(list, true)) {
        Error(shown + ": " + (in.Directory() ? "read error" : in.Failure()));
        return false;
    }
    LineReader lines(in);
    uint64_t number = 0, malformed = 0, unreadable = 0, mismatched = 0;
    bool anyLine = false, anyMatch = false;
    std::string line;
    int got;
    while ((got = lines.Next(line)) > 0) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::string expected, name;
        if (!Parse(line, expected, name) || (list == "-" && name == "-")) {
            ++malformed;
            if (m_o.warn)
                Error(shown + ": " + std::to_string(number) + ": improperly formatted " + m_o.Tag() +
                      " checksum line");
            continue;
        }
        anyLine = true;
        // Results name the file as the list does, escaped only where a newline would
        // break the line.
        const bool escape = name.find('\n') != std::string::npos;
        const std::string result = (escape ? "\\" + Escape(name) : name) + ": ";
        std::string actual;
        bool missing = false;
        if (!SumOf(m_o, name, actual, m_o.ignoreMissing ? &missing : nullptr)) {
            if (missing) continue;
            ++unreadable;
            if (!m_o.status) Write(result + "FAILED open or read\n");
        } else {
            bool same = true;
            for (size_t k = 0; k < actual.size(); ++k)
                same = same && std::tolower(static_cast<unsigned char>(expected[k])) == actual[k];
            anyMatch = anyMatch || same;
            mismatched += same ? 0 : 1;
            if (!m_o.status && (!same || !m_o.quiet)) Write(result + (same ? "OK\n" : "FAILED\n"));
        }
        std::fflush(stdout);
    }
    if (got < 0) {
        Error(shown + ": read error");
        return false;
    }
    if (!anyLine) {
        Error(shown + ": no properly formatted checksum lines found");
        return false;
    }
    if (!m_o.status) {
        if (malformed) Error("WARNING: " + Plural(malformed, " line is", " lines are") + " improperly formatted");
        if (unreadable)
            Error("WARNING: " + Plural(unreadable, " listed file", " listed files") + " could not be read");
        if (mismatched)
            Error("WARNING: " + Plural(mismatched, " computed checksum", " computed checksums") + " did NOT match");
        if (m_o.ignoreMissing && !anyMatch) Error(shown + ": no file was verified");
    }
    return !mismatched && !unreadable && (!m_o.strict || !malformed) && (!m_o.ignoreMissing || anyMatch);
}

}  // namespace

int CmdDigest(int argc, char** argv, bool sha1) {
    const std::string cmd = sha1 ? "sha1" : "md5";
    const std::string tool = sha1 ? "sha1sum" : "md5sum";
    const std::string tag = sha1 ? "SHA1" : "MD5";
    Args args(cmd,
              {{"-b", "--binary", false},
               {"-c", "--check", false},
               {nullptr, "--tag", false},
               {"-t", "--text", false},
               {"-z", "--zero", false},
               {nullptr, "--ignore-missing", false},
               {nullptr, "--quiet", false},
               {nullptr, "--status", false},
               {nullptr, "--strict", false},
               {"-w", "--warn", false}},
              "Usage: qvutil " + cmd + " [OPTION]... [FILE]...\n"
              "Print or check " + tag + " sums as " + tool + " of coreutils 9 does: the same lines,\n"
              "options, messages and exit statuses, so that scripts can call either.\n"
              "With no FILE, or when FILE is -, read standard input.\n"
              "\n"
              "  -b, --binary          mark lines with '*' (binary mode; files are read alike)\n"
              "  -c, --check           read sums from the FILEs and check them\n"
              "      --tag             BSD-style lines: " + tag + " (FILE) = HEX\n"
              "  -t, --text            mark lines with ' ' (text mode, the default)\n"
              "  -z, --zero            end each line with NUL, not newline, and never escape names\n"
              "\n"
              "Only when checking (a list may mix all these lines, end them with CR LF, and\n"
              "spell hexadecimal digits in either case; '#' starts a comment):\n"
              "      --ignore-missing  don't fail or report status for missing files\n"
              "      --quiet           don't print OK for each file that matches\n"
              "      --status          print nothing, the exit status tells\n"
              "      --strict          exit 1 for improperly formatted lines too\n"
              "  -w, --warn            warn about each improperly formatted line\n"
              "\n"
              "A name with a backslash, newline or CR goes on a line that starts with '\\', the\n"
              "three written as \\\\, \\n and \\r; checking reads such lines back.\n"
              "Exit status: 0 success; 1 a FILE could not be read, output could not be written,\n"
              "a sum did NOT match, or a list held no sum line (with --strict also: a line was\n"
              "improperly formatted); 2 bad usage.\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;

    Options o;
    o.sha1 = sha1;
    // As in coreutils, --tag implies binary mode, and the last of -b, -t and --tag decides.
    const std::string mode = args.LastOf({"--binary", "--text", "--tag"});
    const std::string report = args.LastOf({"--warn", "--quiet", "--status"});
    const bool check = args.Has("--check");
    o.tag = args.Has("--tag");
    o.binary = !mode.empty() && mode != "--text";
    o.zero = args.Has("--zero");
    o.ignoreMissing = args.Has("--ignore-missing");
    o.strict = args.Has("--strict");
    o.warn = report == "--warn";
    o.quiet = report == "--quiet";
    o.status = report == "--status";

    if (o.tag && mode == "--text") return args.UsageError("--tag does not support --text mode");
    if (check && o.zero) return args.UsageError("the --zero option is not supported when verifying checksums");
    if (check && o.tag) return args.UsageError("the --tag option is meaningless when verifying checksums");
    if (check && !mode.empty())
        return args.UsageError("the --binary and --text options are meaningless when verifying checksums");
    for (const std::string& only : {std::string("--ignore-missing"), report, std::string("--strict")})
        if (!check && !only.empty() && args.Has(only.c_str()))
            return args.UsageError("the " + only + " option is meaningful only when verifying checksums");

    std::vector<std::string> files = args.Operands();
    if (files.empty()) files.push_back("-");
    int status = kOk;
    if (check) {
        Checker checker(o);
        for (const std::string& list : files)
            if (!checker.CheckList(list)) status = kCheckFailed;
    } else {
        status = Print(o, files);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        Error("write error");
        return kCheckFailed;
    }
    return status;
}

}  // namespace qvutil
