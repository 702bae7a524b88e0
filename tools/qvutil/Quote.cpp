// File names in messages, quoted the way coreutils quotes them in a UTF-8 locale, so that
// scripts and people comparing the two tools' messages see the same text.

#include "Commands.h"

#include <cstdint>
#include <cstring>

namespace qvutil {

namespace {

// Length of the printable UTF-8 character at p (n bytes left), or 0 when the byte at p is
// not one: a control, a byte outside a well-formed sequence, or a character the terminal
// should not interpret (C1 controls, line and paragraph separators, noncharacters).
// Unassigned code points count as printable here; glibc calls them unprintable.
size_t PrintableAt(const unsigned char* p, size_t n) {
    if (p[0] >= 0x20 && p[0] < 0x7F) return 1;
    if (p[0] < 0xC2 || p[0] > 0xF4) return 0;
    const size_t len = p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : 4;
    if (n < len) return 0;
    uint32_t cp = p[0] & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0;
    if (cp < 0xA0 || cp == 0x2028 || cp == 0x2029) return 0;
    if ((cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE) return 0;
    return len;
}

}  // namespace

std::string QuoteName(const std::string& name) {
    const auto* s = reinterpret_cast<const unsigned char*>(name.data());
    const size_t n = name.size();
    // Double quotes serve a name whose only trouble is a "'" among characters that mean
    // nothing inside them; any other name that needs quoting gets single quotes.
    bool quote = n == 0, singleQuote = false, doubleQuotable = true;
    for (size_t i = 0; i < n;) {
        const size_t len = PrintableAt(s + i, n - i);
        const char c = static_cast<char>(s[i]);
        if (len == 0) {
            quote = true;
            doubleQuotable = false;
            ++i;
            continue;
        }
        if (len == 1) {
            if (c == '\'') {
                singleQuote = true;
            } else if (c == ' ' || c == ':' || ((c == '#' || c == '~') && i == 0) || ((c == '{' || c == '}') && n == 1)) {
                quote = true;  // special (':' only to these messages), yet harmless in double quotes
            } else if (std::strchr("#~{}", c)) {
                doubleQuotable = false;  // harmless here, yet they keep the name out of '"'
            } else if (std::strchr("!\"$&()*;<=>?[\\^`|", c)) {
                quote = true;
                doubleQuotable = false;
            }
        }
        i += len;
    }
    if (singleQuote && doubleQuotable) return "\"" + name + "\"";
    if (!quote && !singleQuote) return name;

    // Single quotes; a "'" becomes '\'', and runs of unprintable bytes go in $'...' with
    // C escapes.
    std::string out = "'";
    bool dollar = false;
    for (size_t i = 0; i < n;) {
        const size_t len = PrintableAt(s + i, n - i);
        if (len == 0) {
            if (!dollar) out += "'$'";
            dollar = true;
            const char* named = std::strchr("\a\b\f\n\r\t\v", s[i]);
            if (named && s[i]) {
                out += '\\';
                out += "abfnrtv"[named - "\a\b\f\n\r\t\v"];
            } else {
                const char oct[] = {'\\', static_cast<char>('0' + (s[i] >> 6)), static_cast<char>('0' + ((s[i] >> 3) & 7)),
                                    static_cast<char>('0' + (s[i] & 7)), 0};
                out += oct;
            }
            ++i;
            continue;
        }
        if (s[i] == '\'') {
            out += "'\\''";
        } else {
            if (dollar) out += "''";
            out.append(name, i, len);
        }
        dollar = false;
        i += len;
    }
    return out + "'";
}

std::string ShownName(const std::string& name) {
    // The stand-ins for '-' are words, not names.
    if (name == "standard input" || name == "standard output") return name;
    return QuoteName(name);
}

}  // namespace qvutil
