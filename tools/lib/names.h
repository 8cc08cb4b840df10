// Names the tool did not choose, printed so that none can pass for another:
// one place for the escaping of every text line and every JSON string; and
// the patterns of --exclude. May include nothing of the tool's.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Whether every byte of `text` belongs to a valid UTF-8 character.
bool is_utf8(const std::string &text);

// A name as a text line shows it: unchanged when it holds nothing that could
// mislead; otherwise a backslash, then the name with "\\" for a backslash,
// "\n" and "\r" for the line ends, and "\xHH" for any other control byte
// (C0, DEL and C1) and for each byte that is not part of a UTF-8 character.
// A name printed plainly never starts with a backslash, so it cannot be
// taken for an escaped one. On Windows the backslash is the folder separator
// and stays as it is, unless the name is escaped for another reason or
// starts with one.
std::string escaped_name(const std::string &name);

// `text` as a JSON string in UTF-8: quotes, backslashes and control bytes
// escaped, and each byte that is not part of a UTF-8 character replaced by
// U+FFFD.
std::string json_string(const std::string &text);

// The bytes as lower-case hexadecimal, two digits a byte.
std::string hex_bytes(const std::string &bytes);

// The "path" and "path_bytes" members of a JSON object for a name: the name
// in UTF-8, and its exact bytes in hex where it is not valid UTF-8 (else
// null).
std::string json_path_members(const std::string &name);

// Whether `path` matches the shell pattern `pattern`, as --exclude takes
// it: `*` any characters and `?` any one, `[...]` one of a set (`[!...]`
// none of it), none of them across a `/`; each `/` of the pattern meets one
// of the path (on Windows, also a backslash).
bool path_matches(const std::string &pattern, const std::string &path);

// Whether `path` matches any of the patterns.
bool path_matches_any(const std::vector<std::string> &patterns, const std::string &path);

// A name as a CSV field (RFC 4180): always quoted, quotes doubled, every
// byte of a UTF-8 name kept (line ends too), a name that is not UTF-8
// escaped as a text line shows it; and one that a spreadsheet would take
// for a formula (starting with =, +, -, @, a tab or a CR) led by a '.
std::string csv_field(const std::string &name);

// A text as HTML shows it: &, <, >, " and ' as references, and bytes that
// are not UTF-8 escaped as a text line shows them.
std::string html_text(const std::string &text);
