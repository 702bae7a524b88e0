#include "Commands.h"
#include "Input.h"

#include <cstdio>
#include <cstring>

namespace qvutil {

const Args::Option* Args::Find(const std::string& arg) const {
    for (const Option& o : m_options)
        if ((o.shortName && arg == o.shortName) || (o.longName && arg == o.longName)) return &o;
    return nullptr;
}

bool Args::Parse(int argc, char** argv) {
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (!options || arg == "-" || arg.empty() || arg[0] != '-') {
            m_operands.push_back(arg);
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            m_help = true;
            continue;
        }
        // --name=value and -wVALUE forms.
        std::string value;
        bool inlineValue = false;
        if (arg.compare(0, 2, "--") == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            inlineValue = true;
        } else if (arg.size() > 2 && arg[1] != '-') {
            const Option* o = Find(arg.substr(0, 2));
            if (o && o->takesValue) {
                value = arg.substr(2);
                arg = arg.substr(0, 2);
                inlineValue = true;
            }
        }
        const Option* o = Find(arg);
        if (!o) {
            UsageError("unknown option '" + arg + "'");
            return false;
        }
        if (o->takesValue && !inlineValue) {
            if (i + 1 >= argc) {
                UsageError("option '" + arg + "' needs a value");
                return false;
            }
            value = argv[++i];
        } else if (!o->takesValue && inlineValue) {
            UsageError("option '" + arg + "' takes no value");
            return false;
        }
        m_given.emplace_back(o->longName ? o->longName : o->shortName, value);
    }
    return true;
}

bool Args::Has(const char* name) const {
    for (const auto& g : m_given)
        if (g.first == name) return true;
    return false;
}

std::string Args::Value(const char* name, const std::string& fallback) const {
    std::string v = fallback;
    for (const auto& g : m_given)
        if (g.first == name) v = g.second;  // the last one given counts
    return v;
}

int Args::UsageError(const std::string& what) const {
    std::fprintf(stderr, "qvutil %s: %s\nTry 'qvutil %s --help'.\n", m_command.c_str(), what.c_str(),
                 m_command.c_str());
    return kUsage;
}

void Args::PrintHelp() const {
    std::fputs(m_usage.c_str(), stdout);
}

}  // namespace qvutil
