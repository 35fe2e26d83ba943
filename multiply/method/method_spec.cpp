#include "multiply/method/method_spec.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <stdexcept>

#include "multiply/method/problem.h"

std::map<std::uint64_t, GridSpec> leaf_grids;

namespace {

bool begins_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// std::stoul, except that a negative number is refused instead of being
// wrapped to a huge unsigned value.
std::uint64_t to_unsigned(const std::string& text, std::size_t* used) {
    const unsigned long value = std::stoul(text, used, 10);
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == '-' && value != 0) throw std::out_of_range("stoul");
    return value;
}

enum class Scan { ok, none, bad };

// One "%d" conversion (whitespace, optional sign, decimal digits). A value
// outside int is reported as bad rather than truncated.
Scan scan_int(const char*& p, int& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(p, &end, 10);
    if (end == p) return Scan::none;
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return Scan::bad;
    out = static_cast<int>(value);
    p = end;
    return Scan::ok;
}

// One "%lu" conversion; negative or too large values are bad.
Scan scan_u64(const char*& p, std::uint64_t& out) {
    const char* q = p;
    while (std::isspace(static_cast<unsigned char>(*q))) ++q;
    const bool negative = *q == '-';
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(p, &end, 10);
    if (end == p) return Scan::none;
    if (errno == ERANGE || (negative && value != 0)) return Scan::bad;
    out = value;
    p = end;
    return Scan::ok;
}

// "auto", or exactly three positive loop-way counts "AxBxC" whose product is
// the native thread count.
bool native_ways_ok(const std::string& config) {
    if (config == "auto") return true;
    const char* p = config.c_str();
    int ways[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (*p != 'x') return false;
            ++p;
        }
        if (scan_int(p, ways[i]) != Scan::ok) return false;
    }
    if (*p != '\0') return false;
    std::int64_t product = 1;
    for (int w : ways) {
        if (w <= 0) return false;
        if (__builtin_mul_overflow(product, std::int64_t{w}, &product)) return false;
    }
    return product == problem.native_threads;
}

MethodSpec parse_body(const std::string& text);

// Pan bases, configuration and plain bases, for a text without prefixes.
MethodSpec parse_base(const std::string& text) {
    for (const char* base : {"pan", "accurate"}) {
        const std::string b = base;
        if (!begins_with(text, base) || text.size() <= b.size() ||
            !std::isdigit(static_cast<unsigned char>(text[b.size()])))
            continue;
        std::size_t used = 0;
        const int g = std::stoi(text.substr(b.size()), &used, 10);
        if (g % 2 != 0 || g < 2 || g > 32)
            throw std::runtime_error("Pan grid must be even and in [2,32]");
        MethodSpec spec;
        spec.pan = true;
        spec.pan_direct = true;
        spec.macro_grid = g / 2;
        spec.accurate = b == "accurate";
        std::size_t pos = b.size() + used;
        while (pos < text.size()) {
            if (!spec.accurate) throw std::runtime_error("invalid Pan method suffix");
            const char letter = text[pos];
            std::size_t digits = 0;
            const std::uint64_t value = to_unsigned(text.substr(pos + 1), &digits);
            pos += 1 + digits;
            if (letter == 'k' && value != 0) {
                spec.correction_k = value;
            } else if (letter == 's' && (value == 32 || value == 64 || value == 128)) {
                spec.main_subk = value;
            } else if (letter == 't' && (value == 0 || value == 128 || value == 256)) {
                spec.correction_tile = value;
            } else if (letter == 'p' && (value == 0 || value == 1)) {
                spec.packed_corrections = value == 1;
            } else {
                throw std::runtime_error("invalid accurate chunk option");
            }
        }
        return spec;
    }

    if (const auto colon = text.find(':'); colon != std::string::npos) {
        MethodSpec spec = parse_body(text.substr(0, colon));
        if (spec.strassen_levels != 0 || spec.pan || spec.agg)
            throw std::runtime_error("only dense/native methods accept configurations");
        spec.config = text.substr(colon + 1);
        if (spec.config.empty()) throw std::runtime_error("empty method configuration");
        if (spec.native) {
            if (!native_ways_ok(spec.config))
                throw std::runtime_error("native ways must multiply to native thread count");
        } else {
            // Checked here so that a bad grid fails before set-up; execution
            // parses the configuration again.
            (void)parse_grid(spec.config.c_str());
        }
        return spec;
    }

    MethodSpec spec;
    if (text == "agg1") {
        spec.agg = true;
    } else if (text == "agg1g") {
        spec.agg = true;
        spec.agg1g = true;
    } else if (begins_with(text, "strassen_agg")) {
        spec.agg = true;
        spec.strassen_levels = std::stoi(text.substr(12));
    } else if (text == "dense") {
    } else if (text == "native") {
        spec.native = true;
    } else if (text == "pan_block") {
        spec.pan = true;
        spec.pan_direct = true;
    } else if (begins_with(text, "strassen_pan")) {
        spec.pan = true;
        spec.strassen_levels = std::stoi(text.substr(12));
    } else if (begins_with(text, "strassen_aocl")) {
        spec.strassen_levels = std::stoi(text.substr(13));
    } else {
        throw std::runtime_error("unknown method: " + text);
    }
    return spec;
}

// Rules after the leaf suffix. Prefixes switch on a flag each and may be
// stacked and repeated; they are stripped in a loop rather than by recursion
// so that a long chain costs neither stack nor copies. The name of the result
// is set by the caller.
MethodSpec parse_body(const std::string& text) {
    bool scale = false, aocl = false, center = false;
    std::size_t pos = 0;
    for (;;) {
        if (text.compare(pos, 6, "scale_") == 0) {
            scale = true;
            pos += 6;
        } else if (text.compare(pos, 5, "aocl_") == 0) {
            aocl = true;
            pos += 5;
        } else if (text.compare(pos, 7, "center_") == 0) {
            center = true;
            pos += 7;
        } else {
            break;
        }
    }
    MethodSpec spec = parse_base(pos == 0 ? text : text.substr(pos));
    spec.scale = spec.scale || scale;
    spec.aocl_corrections = spec.aocl_corrections || aocl;
    spec.centered = spec.centered || center;
    return spec;
}

}  // namespace

MethodSpec parse_method_spec(const std::string& text) {
    MethodSpec spec;
    if (const auto at = text.find('@'); at != std::string::npos) {
        spec = parse_body(text.substr(0, at));
        if (!spec.agg && !spec.pan) throw std::runtime_error("@leaf only for agg/pan methods");
        std::size_t used = 0;
        spec.leaf = to_unsigned(text.substr(at + 1), &used);
    } else {
        spec = parse_body(text);
    }
    spec.name = text;
    return spec;
}

GridSpec parse_grid(const char* text) {
    GridSpec grid;  // 1 x 1, whole depth
    if (text == nullptr) throw std::runtime_error("invalid grid");
    const char* p = text;
    int converted = 0;
    bool bad = false;
    switch (scan_int(p, grid.rows)) {
        case Scan::ok: ++converted; break;
        case Scan::bad: bad = true; break;
        case Scan::none: break;
    }
    if (converted == 1 && *p == 'x') {
        ++p;
        switch (scan_int(p, grid.cols)) {
            case Scan::ok: ++converted; break;
            case Scan::bad: bad = true; break;
            case Scan::none: break;
        }
    }
    if (converted == 2 && *p == ':') {
        ++p;
        if (scan_u64(p, grid.k_block) == Scan::bad) bad = true;
    }
    if (bad || converted < 2 || grid.rows <= 0 || grid.cols <= 0)
        throw std::runtime_error("invalid grid");
    return grid;
}

namespace {

// Largest power of two <= v (v >= 1), capped at the largest one an int holds.
std::int32_t floor_pow2(std::uint64_t v) {
    std::uint64_t p = 1;
    while (p <= v / 2 && p < (std::uint64_t{1} << 30)) p *= 2;
    return static_cast<std::int32_t>(p);
}

}  // namespace

GridSpec leaf_grid(std::uint64_t side) {
    if (const auto it = leaf_grids.find(side); it != leaf_grids.end()) return it->second;
    GridSpec grid{1, 1, 0};
    if (side < 960) return grid;
    grid.rows = side < 1920 ? 1 : floor_pow2(side / 960);
    grid.cols = floor_pow2(side / 480);
    return grid;
}

std::string mode_method(const std::string& mode) {
    if (mode == "safe") return "scale_center_pan2";
    if (mode == "accurate") return "scale_center_accurate2s32t256p1";
    if (mode == "fast") return "scale_strassen_pan1";
    if (mode == "large") return "scale_center_agg1";
    return "";
}

std::string large_fallback_method() { return mode_method("safe"); }
