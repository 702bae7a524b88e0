#include "Commands.h"
#include "Input.h"

#include <cstdio>
#include <cstring>

namespace qvutil {

// A long option may be shortened to any prefix that names only one option, as getopt allows.
const Args::Option* Args::Find(const std::string& arg, bool& ambiguous) const {
    ambiguous = false;
    const Option* prefixOf = nullptr;
    int prefixes = 0;
    for (const Option& o : m_options) {
        if ((o.shortName && arg == o.shortName) || (o.longName && arg == o.longName)) return &o;
        if (o.longName && arg.size() > 2 && arg.compare(0, 2, "--") == 0 && std::strncmp(o.longName, arg.c_str(), arg.size()) == 0) {
            prefixOf = &o;
            ++prefixes;
        }
    }
    ambiguous = prefixes > 1;
    return prefixes == 1 ? prefixOf : nullptr;
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
        // "--name=value", or a cluster of short options ("-bt", "-dw0", "-w 0").
        std::vector<std::string> names;
        std::string value;
        bool inlineValue = false;
        if (arg.compare(0, 2, "--") == 0) {
            inlineValue = arg.find('=') != std::string::npos;
            if (inlineValue) value = arg.substr(arg.find('=') + 1);
            names.push_back(arg.substr(0, arg.find('=')));
        } else {
            for (size_t k = 1; k < arg.size(); ++k) {
                names.push_back(std::string("-") + arg[k]);
                bool ambiguous;
                const Option* o = Find(names.back(), ambiguous);
                if (o && o->takesValue && k + 1 < arg.size()) {
                    value = arg.substr(k + 1);
                    inlineValue = true;
                    break;
                }
            }
        }
        for (size_t k = 0; k < names.size(); ++k) {
            bool ambiguous;
            const Option* o = Find(names[k], ambiguous);
            if (!o) {
                UsageError((ambiguous ? "ambiguous option '" : "unknown option '") + names[k] + "'");
                return false;
            }
            const bool last = k + 1 == names.size();
            std::string v;
            if (o->takesValue && !(last && inlineValue)) {
                if (!last || i + 1 >= argc) {
                    UsageError("option '" + names[k] + "' needs a value");
                    return false;
                }
                v = argv[++i];
            } else if (o->takesValue) {
                v = value;
            } else if (last && inlineValue) {
                UsageError("option '" + names[k] + "' takes no value");
                return false;
            }
            m_given.emplace_back(o->longName ? o->longName : o->shortName, v);
        }
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

std::string Args::LastOf(const std::vector<const char*>& names) const {
    std::string last;
    for (const auto& g : m_given)
        for (const char* name : names)
            if (g.first == name) last = name;
    return last;
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
