// qortool for the tests, with the one hook that qortool itself has none
// of: QOR_KILL_AT_RECORD=K ends the process as a kill does right after the
// run has written its Kth record to the state database, before that record
// is committed. Commits come as they do in qortool.
#include <cstdint>
#include <cstdlib>

#include "commands.h"
#include "files.h"
#include "state.h"

namespace {

std::uint64_t kill_at = 0;

void kill_at_record(std::uint64_t records) {
    if (records == kill_at)
        end_at_once();
}

} // namespace

int main(int argc, char **argv) {
    if (const char *at = std::getenv("QOR_KILL_AT_RECORD")) {
        kill_at = std::strtoull(at, nullptr, 10);
        after_each_record = kill_at_record;
    }
    return qortool_main(argc, argv);
}
