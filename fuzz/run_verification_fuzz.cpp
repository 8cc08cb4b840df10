// run_verification on arbitrary information files: every run ends in exactly
// one verdict after the updates of the stages it reached, no line carries two
// result words, and a file found genuine is found so again.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_file.h"
#include "verify.h"

namespace {

using Updates = std::vector<std::pair<int, std::string>>;

void record(void *dialog, int control_id, const char *text) {
    static_cast<Updates *>(dialog)->emplace_back(control_id, text);
}

void check(bool condition) {
    if (!condition)
        std::abort();
}

void check_updates(const Updates &u, bool genuine) {
    check(u.size() % 2 == 1 && u.size() >= 5 && u.size() <= 13);
    std::size_t stages = (u.size() - 3) / 2;
    check(!genuine || stages == 5);
    for (std::size_t k = 0; k < stages; ++k) {
        const StatusLine &line = status_lines[k];
        bool last = k + 1 == stages;
        const char *word = !last || genuine ? passed_word : failed_word;
        check(u[2 * k].first == line.control_id && u[2 * k].second == line.stage_text);
        check(u[2 * k + 1].first == line.control_id &&
              u[2 * k + 1].second == std::string(line.stage_text) + word);
    }
    const Verdict &v = genuine ? passed_verdict : failed_verdict;
    const Updates verdict = {
        {verdict_control, v.line}, {verdict_detail_control, v.detail}, {button_control, v.button}};
    check(Updates(u.end() - 3, u.end()) == verdict);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string path = scratch_path("qor.nfo");
    write_scratch(path, data, size);
    Updates first;
    bool genuine = run_verification({record, &first}, path);
    check_updates(first, genuine);
    if (genuine) {
        Updates again;
        check(run_verification({record, &again}, path));
        check(again == first);
    }
    return 0;
}
