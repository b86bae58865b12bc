// Fuzz target: arbitrary bytes as a commit journal. The journal is read from a file another
// run (or another user) may have written, so its reader must never crash, and whatever it
// accepts must be safe to act on: single file names only, folder indexes in range, the key
// entry first, and a record that writes back to a journal that reads the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "commit_journal.h"
#include "fuzz_support.h"

namespace {

bool is_one_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    journal record;
    if (!parse_journal(text, record).empty()) {
        return 0;
    }
    FUZZ_CHECK(is_one_name(record.key) && !record.entries.empty());
    FUZZ_CHECK(record.entries.front().name == record.key);
    for (const journal_entry& entry : record.entries) {
        FUZZ_CHECK(is_one_name(entry.name) && entry.folder < record.folders.size());
        FUZZ_CHECK(entry.staged.present && entry.staged.mode <= 07777);
    }
    journal again;
    std::string written = journal_text(record);
    if (record.committed) {
        written += kCommittedMark;
    }
    FUZZ_CHECK(parse_journal(written, again).empty());
    FUZZ_CHECK(journal_text(again) == journal_text(record) && again.committed == record.committed);
    return 0;
}
