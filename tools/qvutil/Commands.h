#pragma once

// The subcommands of qvutil and the argument handling they share.

#include <string>
#include <vector>

namespace qvutil {

// Arguments of one subcommand: options it knows (with or without a value), the rest as
// operands, in any order. "--" ends the options; "-" alone is an operand (standard input).
// As with getopt, short options cluster ("-bt", "-dw0") and long ones may be shortened to
// a prefix that names only one of them.
class Args {
public:
    struct Option {
        const char* shortName;  // "-w" or null
        const char* longName;   // "--wrap" or null
        bool takesValue;
    };

    Args(std::string command, std::vector<Option> options, std::string usage)
        : m_command(std::move(command)), m_options(std::move(options)), m_usage(std::move(usage)) {}

    // Parses argv; false after reporting bad usage. Sets help when --help was given.
    bool Parse(int argc, char** argv);
    bool Help() const { return m_help; }
    bool Has(const char* name) const;
    std::string Value(const char* name, const std::string& fallback = "") const;
    // Which of these options came last on the command line; "" when none did.
    std::string LastOf(const std::vector<const char*>& names) const;
    const std::vector<std::string>& Operands() const { return m_operands; }

    // "qvutil CMD: what" plus a hint to --help, on standard error; returns the usage status.
    int UsageError(const std::string& what) const;
    void PrintHelp() const;

private:
    const Option* Find(const std::string& arg, bool& ambiguous) const;

    std::string m_command;
    std::vector<Option> m_options;
    std::string m_usage;
    std::vector<std::pair<std::string, std::string>> m_given;  // long or short name, value
    std::vector<std::string> m_operands;
    bool m_help = false;
};

// A file name as coreutils writes it in messages: as it is when nothing in it needs
// quoting, else in shell quotes, unprintable bytes as $'\ooo'.
std::string QuoteName(const std::string& name);
// A file's name as messages show it: quoted where it must be, 'standard input' as it is.
std::string ShownName(const std::string& name);

int CmdInspect(int argc, char** argv);
int CmdFrames(int argc, char** argv);
int CmdScan(int argc, char** argv);
int CmdDigest(int argc, char** argv, bool sha1);
int CmdBase64(int argc, char** argv);
int CmdEscape(int argc, char** argv, bool restore);
int CmdDemux(int argc, char** argv);
int CmdPlot(int argc, char** argv);

}  // namespace qvutil
