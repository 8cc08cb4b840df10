#include "report.h"

#include "names.h"
#include "state.h"

std::string verdict_text(const Judgement &j) {
    if (!j.checked)
        return "not checked (" + j.reason + ")";
    const std::string unchanged = j.was_read ? "" : "unchanged since " + iso_date(j.judged);
    if (j.genuine) {
        std::string about = j.several_keys ? "key " + j.key : "";
        if (!unchanged.empty())
            about.append(about.empty() ? "" : ", ").append(unchanged);
        return about.empty() ? "genuine" : "genuine (" + about + ")";
    }
    // The failed status line, unless the run passed and only --strict
    // refuses it.
    std::string why = j.passed || j.status.empty() ? "" : j.status.back();
    if (!j.reason.empty())
        why.append(why.empty() ? "" : " ").append(j.reason);
    if (!unchanged.empty())
        why.append("; ").append(unchanged);
    return "NOT genuine (" + why + ")";
}

namespace {

// The notes that go to standard error in every format but -q. Names are
// escaped here and in each writer, nowhere else.
std::string notes(const Judgement &j, Format format) {
    const std::string note = "qortool: " + escaped_name(j.name) + ": ";
    if (!j.checked)
        return note + j.reason + "\n";
    std::string out;
    if (!j.ambiguous_files.empty()) {
        std::string files;
        for (const std::string &f : j.ambiguous_files)
            files.append(files.empty() ? "" : ", ").append(escaped_name(f));
        out += note + "ambiguous: " + files + "\n";
    }
    if (format == Format::blocks && !j.missing.empty())
        out += "qortool: " + escaped_name(j.missing) + ": " + j.reason + "\n";
    if (format == Format::blocks && j.passed && j.several_keys)
        out += note + "fits key " + j.key + "\n";
    if (format == Format::blocks && !j.was_read)
        out += note + "unchanged since " + iso_date(j.judged) + ", not read again\n";
    if (j.passed && j.uncovered)
        out += note + "a marker at offset " + std::to_string(j.covered) + " ends the scan; the " +
               std::to_string(j.uncovered) + " bytes after it are not covered by the code\n";
    return out;
}

// The dialog's texts, headed by the name when there are several releases.
std::string blocks_text(const Judgement &j, bool headed) {
    if (!j.checked)
        return "";
    std::string out = headed ? escaped_name(j.name) + ":\n" : "";
    for (const std::string &line : j.status)
        out += line + "\n";
    const Verdict &verdict = j.genuine ? passed_verdict : failed_verdict;
    return out + verdict.line + "\n" + verdict.detail + "\n";
}

// One line: genuine, NOT genuine with the failed status line and the
// reason, or not checked with the reason.
std::string brief_text(const Judgement &j) {
    return escaped_name(j.name) + ": " + verdict_text(j) + "\n";
}

// One JSON object on one line; docs/archives.md lists the same fields.
std::string json_text(const Judgement &j) {
    auto text_or_null = [](const std::string &text) {
        return text.empty() ? std::string("null") : json_string(text);
    };
    std::string status;
    for (const std::string &line : j.status)
        status.append(status.empty() ? "" : ",").append(json_string(line));
    const Verdict &verdict = j.genuine ? passed_verdict : failed_verdict;
    // Appended piece by piece: one long chain of + trips a false -Wrestrict
    // in GCC 12.
    std::string out = "{";
    out += json_path_members(j.name);
    out += ",\"checked\":" + std::string(j.checked ? "true" : "false");
    out += ",\"genuine\":" + std::string(j.genuine ? "true" : "false");
    out += ",\"stage\":" + std::to_string(j.stage) + ",\"status\":[" + status + "]";
    out += ",\"verdict\":" + (j.checked ? json_string(verdict.line) : std::string("null"));
    out += ",\"size\":" + std::to_string(j.size) + ",\"covered\":" + std::to_string(j.covered);
    out += ",\"uncovered\":" + std::to_string(j.uncovered) + ",\"key\":" + text_or_null(j.key);
    out += ",\"reason\":" + text_or_null(j.reason);
    out += ",\"read\":" + std::string(j.was_read ? "true" : "false");
    out += ",\"unchanged_since\":" +
           (j.was_read ? std::string("null") : json_string(iso_date(j.judged)));
    return out + "}\n";
}

} // namespace

Written write(const Judgement &j, Format format, bool headed) {
    switch (format) {
    case Format::quiet: return {};
    case Format::blocks: return {blocks_text(j, headed), notes(j, format)};
    case Format::brief: return {brief_text(j), notes(j, format)};
    case Format::json: return {json_text(j), notes(j, format)};
    }
    return {};
}
