#include "key_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <algorithm>

#include "version_stamp.h"

namespace {

struct Field {
    const char *name;
    std::size_t count;
    unsigned bits;
};

// In the order of KeyMaterial, as the build's parser has them.
constexpr Field fields[] = {
    {"sum_starts", 13, 32},    {"acc13_constant", 1, 32}, {"chaining", 4, 32}, {"steps", 64, 32},
    {"stamp_signature", 5, 8}, {"stamp_addend", 1, 8},    {"stamp_mask", 1, 8}};

std::vector<std::string> split_blanks(const std::string &text) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(" \t", at)) != std::string::npos) {
        std::size_t end = text.find_first_of(" \t", at);
        words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

bool is_hex_value(const std::string &value) {
    return value.size() > 2 && value.compare(0, 2, "0x") == 0 &&
           value.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
}

void store(KeyMaterial &key, std::size_t field, std::size_t i, std::uint32_t v) {
    switch (field) {
    case 0: key.sum_starts[i] = v; break;
    case 1: key.acc13_constant = v; break;
    case 2: key.chaining[i] = v; break;
    case 3: key.steps[i] = v; break;
    case 4: key.stamp_signature[i] = static_cast<std::uint8_t>(v); break;
    case 5: key.stamp_addend = static_cast<std::uint8_t>(v); break;
    case 6: key.stamp_mask = static_cast<std::uint8_t>(v); break;
    }
}

// The value `store` puts there.
std::uint32_t stored(const KeyMaterial &key, std::size_t field, std::size_t i) {
    switch (field) {
    case 0: return key.sum_starts[i];
    case 1: return key.acc13_constant;
    case 2: return key.chaining[i];
    case 3: return key.steps[i];
    case 4: return key.stamp_signature[i];
    case 5: return key.stamp_addend;
    default: return key.stamp_mask;
    }
}

} // namespace

bool read_key_file(const std::filesystem::path &path, const std::string &name, KeyMaterial &key,
                   std::string &error) {
    const char *why = nullptr;
    std::FILE *f = open_regular_file(path, &why);
    if (!f) {
        // A copy first: Windows' strerror gives the same buffer every time.
        std::string reason = why;
        error = name + ": " + (reason == std::strerror(ENOENT) ? "key file not found" : reason);
        return false;
    }
    bool read = read_key_stream(f, name, key, error);
    std::fclose(f);
    return read;
}

bool read_key_stream(std::FILE *f, const std::string &name, KeyMaterial &key, std::string &error) {
    // One byte past the limit tells a file that is too large.
    std::string all(key_file_limit + 1, '\0');
    all.resize(std::fread(all.data(), 1, all.size(), f));
    bool read_failed = std::ferror(f);
    if (read_failed) {
        error = name + ": read failed";
        return false;
    }
    if (all.size() > key_file_limit) {
        error = name + ": larger than " + std::to_string(key_file_limit) + " bytes: not a key file";
        return false;
    }
    if (all.compare(0, 3, "\xef\xbb\xbf") == 0)
        all.erase(0, 3); // a byte-order mark, as some Windows editors write

    key = {};
    std::size_t seen[std::size(fields)] = {};
    std::size_t number = 0;
    for (std::size_t at = 0; at < all.size();) {
        std::size_t end = all.find('\n', at);
        std::string line = all.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? all.size() : end + 1;
        ++number;
        const auto fail = [&](const std::string &what) {
            error = name + ":" + std::to_string(number) + ": " + what;
            return false;
        };
        std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        if (line.find(';') != std::string::npos)
            return fail("';' is not allowed in a key file");
        std::vector<std::string> words = split_blanks(line);
        std::string field_name = words[0];
        words.erase(words.begin());
        std::size_t field = std::size(fields);
        for (std::size_t i = 0; i < std::size(fields); ++i)
            if (field_name == fields[i].name)
                field = i;
        if (field == std::size(fields))
            return fail("unknown field '" + field_name + "'");
        const Field &form = fields[field];
        if (seen[field])
            return fail("field '" + field_name + "' given twice (first on line " +
                        std::to_string(seen[field]) + ")");
        seen[field] = number;
        if (words.size() != form.count)
            return fail("'" + field_name + "' needs " + std::to_string(form.count) +
                        " values, has " + std::to_string(words.size()));
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string &value = words[i];
            if (!is_hex_value(value))
                return fail("'" + value + "' in '" + field_name +
                            "' is not a hexadecimal value with a 0x prefix");
            std::size_t significant = value.find_first_not_of('0', 2);
            std::string digits = significant == std::string::npos ? "" : value.substr(significant);
            if (digits.size() > form.bits / 4)
                return fail("'" + value + "' in '" + field_name + "' does not fit in " +
                            std::to_string(form.bits) + " bits");
            if (field == 4 && digits.empty())
                return fail("'stamp_signature' must hold no zero byte");
            store(key, field, i,
                  digits.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16)));
        }
    }
    for (std::size_t i = 0; i < std::size(fields); ++i)
        if (!seen[i]) {
            error = name + ": field '" + fields[i].name + "' is missing";
            return false;
        }
    return true;
}

std::string key_text(const KeyMaterial &key) {
    std::string text;
    for (std::size_t field = 0; field < std::size(fields); ++field) {
        text += fields[field].name;
        for (std::size_t i = 0; i < fields[field].count; ++i) {
            char value[16];
            std::snprintf(value, sizeof value, " 0x%0*x", static_cast<int>(fields[field].bits / 4),
                          static_cast<unsigned>(stored(key, field, i)));
            text += value;
        }
        text += '\n';
    }
    return text;
}

std::string key_id(const KeyMaterial &key) {
    std::string text = key_text(key);
    std::array<std::uint8_t, 16> digest =
        md5(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
    CheckValue first;
    std::copy(digest.begin(), digest.begin() + first.size(), first.begin());
    std::uint8_t code[code_length];
    encode_code(first, code);
    return std::string(reinterpret_cast<const char *>(code), 8);
}
