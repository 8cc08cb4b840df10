#include "names.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "utf8.h"

namespace {

#ifdef _WIN32
constexpr bool backslash_is_separator = true;
#else
constexpr bool backslash_is_separator = false;
#endif

std::uint8_t byte_at(const std::string &text, std::size_t at) {
    return static_cast<std::uint8_t>(text[at]);
}

// Whether the character at text[at], `length` bytes long, is a control
// character: C0, DEL, or C1 (U+0080 to U+009F, two bytes from 0xC2 0x80).
bool is_control(const std::string &text, std::size_t at, std::size_t length) {
    std::uint8_t first = byte_at(text, at);
    if (length == 1)
        return first < 0x20 || first == 0x7f;
    return length == 2 && first == 0xc2 && byte_at(text, at + 1) < 0xa0;
}

void append_hex(std::string &out, std::uint8_t byte) {
    static const char digits[] = "0123456789abcdef";
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

// The length of the valid UTF-8 character at text[at], or 0 when the byte
// there does not start one (an overlong form, a surrogate, a code point past
// U+10FFFF, a stray or missing continuation byte).
std::size_t utf8_character_length(const std::string &text, std::size_t at) {
    if (at >= text.size())
        return 0;
    std::size_t next = at;
    return next_code_point(text, next) == 0xFFFFFFFF ? 0 : next - at;
}

} // namespace

bool is_utf8(const std::string &text) {
    for (std::size_t at = 0, n; at < text.size(); at += n)
        if (!(n = utf8_character_length(text, at)))
            return false;
    return true;
}

std::string escaped_name(const std::string &name) {
    bool escape = backslash_is_separator && !name.empty() && name[0] == '\\';
    for (std::size_t at = 0, n; !escape && at < name.size(); at += n) {
        n = utf8_character_length(name, at);
        escape = !n || is_control(name, at, n) || (name[at] == '\\' && !backslash_is_separator);
        n = n ? n : 1;
    }
    if (!escape)
        return name;
    std::string out = "\\";
    for (std::size_t at = 0; at < name.size();) {
        std::size_t n = utf8_character_length(name, at);
        char c = name[at];
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (n && !is_control(name, at, n)) {
            out.append(name, at, n);
            at += n;
            continue;
        } else {
            // One byte at a time: each byte of a C1 control, and each byte
            // that starts no character.
            out += "\\x";
            append_hex(out, byte_at(name, at));
        }
        ++at;
    }
    return out;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        std::size_t n = utf8_character_length(text, at);
        std::uint8_t c = byte_at(text, at);
        if (!n) {
            out += "\xef\xbf\xbd"; // U+FFFD
            n = 1;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\u00";
            append_hex(out, c);
        } else {
            out.append(text, at, n);
        }
        at += n;
    }
    return out + "\"";
}

std::string hex_bytes(const std::string &bytes) {
    std::string out;
    for (char c : bytes)
        append_hex(out, static_cast<std::uint8_t>(c));
    return out;
}

std::string json_path_members(const std::string &name) {
    std::string members = "\"path\":" + json_string(name) + ",\"path_bytes\":";
    if (is_utf8(name))
        return members + "null";
    return members.append("\"").append(hex_bytes(name)).append("\"");
}

namespace {

// One character of a [...] set at pattern[p] against c; p ends past the set.
bool set_matches(const std::string &pattern, std::size_t &p, char byte) {
    const auto c = static_cast<unsigned char>(byte);
    std::size_t at = p + 1;
    const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
    at += negated;
    bool found = false;
    for (std::size_t first = at; at < pattern.size() && (at == first || pattern[at] != ']');) {
        unsigned char low = static_cast<unsigned char>(pattern[at]), high = low;
        if (at + 2 < pattern.size() && pattern[at + 1] == '-' && pattern[at + 2] != ']')
            high = static_cast<unsigned char>(pattern[at + 2]), at += 2;
        found = found || (low <= c && c <= high);
        ++at;
    }
    if (at >= pattern.size()) { // no closing bracket: a plain '['
        ++p;
        return byte == '[';
    }
    p = at + 1;
    return found != negated;
}

// One part between slashes: the classic match with one backtracking point,
// which is enough since no wildcard crosses into another part.
bool part_matches(const std::string &pattern, const std::string &name) {
    std::size_t p = 0, n = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        std::size_t next = p;
        if (p < pattern.size() && pattern[p] == '*') {
            star = ++p, resume = n;
            continue;
        }
        if (p < pattern.size() && (pattern[p] == '?'   ? (next = p + 1, true)
                                   : pattern[p] == '[' ? set_matches(pattern, next, name[n])
                                                       : (next = p + 1, pattern[p] == name[n]))) {
            p = next, ++n;
            continue;
        }
        if (star == std::string::npos)
            return false;
        p = star, n = ++resume;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::vector<std::string> parts_of(const std::string &path, bool backslash_too) {
    std::vector<std::string> parts(1);
    for (char c : path)
        if (c == '/' || (backslash_too && c == '\\'))
            parts.emplace_back();
        else
            parts.back() += c;
    return parts;
}

} // namespace

bool path_matches(const std::string &pattern, const std::string &path) {
    const std::vector<std::string> wanted = parts_of(pattern, false),
                                   parts = parts_of(path, backslash_is_separator);
    if (wanted.size() != parts.size())
        return false;
    for (std::size_t i = 0; i < parts.size(); ++i)
        if (!part_matches(wanted[i], parts[i]))
            return false;
    return true;
}

bool path_matches_any(const std::vector<std::string> &patterns, const std::string &path) {
    for (const std::string &pattern : patterns)
        if (path_matches(pattern, path))
            return true;
    return false;
}

std::string csv_field(const std::string &name) {
    const std::string text = is_utf8(name) ? name : escaped_name(name);
    const bool formula = !text.empty() && std::strchr("=+-@\t\r", text[0]) && text[0] != 0;
    std::string field = formula ? "\"'" : "\"";
    for (char c : text)
        field.append(c == '"' ? "\"\"" : std::string(1, c));
    return field + "\"";
}

std::string html_text(const std::string &text) {
    std::string html;
    for (char c : is_utf8(text) ? text : escaped_name(text))
        switch (c) {
        case '&': html += "&amp;"; break;
        case '<': html += "&lt;"; break;
        case '>': html += "&gt;"; break;
        case '"': html += "&quot;"; break;
        case '\'': html += "&#39;"; break;
        default: html += c;
        }
    return html;
}
