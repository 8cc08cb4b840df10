#include "places.h"

#include <cctype>

namespace {

bool is_separator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// The root a name starts from when it is absolute: "/" on Linux; a drive
// ("C:/") or "//" on Windows. Empty for a relative name.
std::string root_of(const std::string &name) {
#ifdef _WIN32
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
        return name.substr(0, 2) + "/";
    if (name.size() >= 2 && is_separator(name[0]) && is_separator(name[1]))
        return "//";
#endif
    return !name.empty() && is_separator(name[0]) ? "/" : "";
}

} // namespace

bool operator==(const RunScope &a, const RunScope &b) {
    return a.known == b.known && a.folder == b.folder && a.operands == b.operands &&
           a.excludes == b.excludes && a.list == b.list && a.recursive == b.recursive;
}

std::string place_of(const std::string &folder, const std::string &name) {
    const std::string whole = root_of(name).empty() && !folder.empty() ? folder + "/" + name : name;
    const std::string root = root_of(whole);
    std::vector<std::string> parts;
    std::size_t at = root.size();
#ifdef _WIN32
    if (root.size() == 3) // the drive letter's own separator
        at = 2;
#endif
    while (at <= whole.size()) {
        std::size_t end = at;
        while (end < whole.size() && !is_separator(whole[end]))
            ++end;
        const std::string part = whole.substr(at, end - at);
        if (part == ".." && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else if (!part.empty() && part != "." && !(part == ".." && !root.empty()))
            parts.push_back(part);
        at = end + 1;
    }
    std::string place = root;
    for (const std::string &part : parts)
        place.append(place.empty() || place.back() == '/' ? "" : "/").append(part);
    return place.empty() ? "." : place;
}

bool place_within(const std::string &place, const std::string &scope_place) {
    if (scope_place == ".")
        return place.compare(0, 3, "../") != 0 && place != ".." && root_of(place).empty();
    return place.compare(0, scope_place.size(), scope_place) == 0 &&
           (place.size() == scope_place.size() || scope_place.back() == '/' ||
            place[scope_place.size()] == '/');
}
