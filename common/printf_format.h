// Test helper: whether a printed line is exactly what a printf format gives
// for some values. Every conversion must match its kind, and every number
// must print back to the same text under its own conversion, so a wrong
// precision, width, sign or field order shows.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace printf_format {

struct Conversion {
    std::string spec;  // the conversion as written, such as "%.9f" or "%2d"
    char kind;         // d, u, f, s or p
};

// The regex that a line printed by `format` matches, and its conversions.
inline std::string to_regex(const std::string& format, std::vector<Conversion>& conversions) {
    static const std::regex conversion("%([-+ 0#]*)([0-9]*)(\\.[0-9]+)?(hh|h|ll|l|z|j|t|L)?([diouxXfFeEgGsp%])");
    std::string out;
    std::size_t at = 0;
    for (std::sregex_iterator it(format.begin(), format.end(), conversion), end; it != end; ++it) {
        for (std::size_t i = at; i < static_cast<std::size_t>(it->position()); ++i) {
            const char c = format[i];
            if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
            out += c;
        }
        at = static_cast<std::size_t>(it->position() + it->length());
        const char k = (*it)[5].str()[0];
        if (k == '%') {
            out += "%";
            continue;
        }
        const std::string pad = (*it)[2].length() > 0 ? " *" : "";
        std::string spec = "%" + (*it)[1].str() + (*it)[2].str() + (*it)[3].str();
        if (k == 'd' || k == 'i') {
            conversions.push_back({spec + "lld", 'd'});
            out += "(" + pad + "-?[0-9]+)";
        } else if (k == 'u') {
            conversions.push_back({spec + "llu", 'u'});
            out += "(" + pad + "[0-9]+)";
        } else if (std::string("fFeEgG").find(k) != std::string::npos) {
            conversions.push_back({spec + k, 'f'});
            out += "(" + pad + "-?(?:inf|nan|[0-9]+(?:\\.[0-9]*)?(?:e[-+][0-9]+)?))";
        } else if (k == 's') {
            conversions.push_back({spec + "s", 's'});
            out += "(.*?)";
        } else if (k == 'p') {
            conversions.push_back({"%p", 'p'});
            out += "(0x[0-9a-f]+|\\(nil\\))";
        } else {
            conversions.push_back({spec + k, 'u'});
            out += "([0-9a-fA-F]+)";
        }
    }
    for (std::size_t i = at; i < format.size(); ++i) {
        const char c = format[i];
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

// The conversions of `format` and the texts `line` has for them; empty when
// the line does not match.
inline std::vector<std::pair<Conversion, std::string>> fields(const std::string& line, const std::string& format) {
    std::vector<Conversion> conversions;
    const std::regex pattern(to_regex(format, conversions));
    std::smatch m;
    std::vector<std::pair<Conversion, std::string>> out;
    if (std::regex_match(line, m, pattern))
        for (std::size_t i = 0; i < conversions.size(); ++i) out.emplace_back(conversions[i], m[i + 1].str());
    return out;
}

// Significant digits of a printed number ("1.25e-07" has 3, "0.0012" has 2).
inline int significant_digits(const std::string& number) {
    int digits = 0;
    bool leading = true;
    for (char c : number) {
        if (c == 'e' || c == 'E') break;
        if (c < '0' || c > '9') continue;
        if (leading && c == '0') continue;
        leading = false;
        ++digits;
    }
    return digits;
}

// Empty when `line` matches `format` (without its line end), else the reason.
inline std::string mismatch(const std::string& line, const std::string& format) {
    std::vector<Conversion> conversions;
    const std::regex pattern(to_regex(format, conversions));
    std::smatch m;
    if (!std::regex_match(line, m, pattern)) return "does not match \"" + format + "\": " + line;
    for (std::size_t i = 0; i < conversions.size(); ++i) {
        const Conversion& c = conversions[i];
        const std::string text = m[i + 1].str();
        char back[512] = "";
        if (c.kind == 'd')
            std::snprintf(back, sizeof back, c.spec.c_str(), std::strtoll(text.c_str(), nullptr, 10));
        else if (c.kind == 'u')
            std::snprintf(back, sizeof back, c.spec.c_str(), std::strtoull(text.c_str(), nullptr, 10));
        else if (c.kind == 'f')
            std::snprintf(back, sizeof back, c.spec.c_str(), std::strtod(text.c_str(), nullptr));
        else
            continue;
        if (text != back)
            return "field " + std::to_string(i + 1) + " \"" + text + "\" is not printed by " + c.spec + ": " + line;
    }
    return "";
}

}  // namespace printf_format
