// The commit as a unit, on every system: the journal's reader (what it accepts and why it
// refuses), the names of the tool's own files, and the undo, driven through the fault seam of
// the file-system primitives (the Nth primitive that changes or flushes something fails).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "commit_journal.h"
#include "file_primitives.h"
#include "files.h"
#include "staged_outputs.h"
#include "tool_names.h"

namespace {

// The journal's folder, a full path in hex: "/t", on Windows "C:\t".
#ifdef _WIN32
const std::string kFolder = "433a5c74";
#else
const std::string kFolder = "2f74";
#endif

// A staged file (device 1, inode 3) over an old file kept by a second name (inode 7).
const std::string kGood = "kvr_sign commit journal 3\nrun AbC123\nkey 6b\nfolder " + kFolder +
                          " 1 2\nfile 0 6b 1 3 0 0 0 384 4 1 7 0 0 0 384 3 1 7 0\nend\n";
// The same in the earlier format, which took every file to be on its folder's device.
const std::string kFormat2 = "kvr_sign commit journal 2\nrun AbC123\nkey 6b\nfolder " + kFolder +
                             " 9 2\nfile 0 6b 3 0 0 384 4 7 0 0 384 3 7\nend\n";
const std::string kDigest = std::string(64, 'a');

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(CommitJournal, AcceptsOnlyWholeWellFormedJournalsOfSingleNames) {
    const struct {
        std::string text;
        std::string refusal;  // "" when accepted
    } cases[] = {
        {kGood, ""},
        {kGood + "committed\n", ""},
        {kGood + "commi", ""},               // a mark cut short: not committed
        {kGood + std::string(4, '\0'), ""},  // a mark never written
        {kGood.substr(0, kGood.size() - 4), "not complete"},
        {kGood + "x\n", "unexpected bytes"},
        {replaced(kGood, "kvr_sign commit journal 3", "kvr_sign commit journal 1"),
         "earlier version"},
        {replaced(kGood, "kvr_sign commit journal 3", "kvr_sign journal"), "begin"},
        {kFormat2, ""},
        {replaced(kFormat2, "384 3 7", "384 3 7 sha256=" + kDigest), ""},
        {replaced(kGood, "file 0 6b", "file 0 2e2e"), "line 5"},    // ".."
        {replaced(kGood, "file 0 6b", "file 0 612f62"), "line 5"},  // "a/b"
        {replaced(kGood, "file 0 6b", "file 1 6b"), "line 5"},      // no folder 1
        {replaced(kGood, "run AbC123", "run Ab/123"), "line 2"},
        {replaced(kGood, "run AbC123\n", ""), "its key entry first"},     // no run id
        {replaced(kGood, "key 6b\n", "key 6b\nrun AbC124\n"), "line 4"},  // a second run id
        {replaced(kGood, "384 4 1", "99999 4 1"), "line 5"},              // not a mode
        {replaced(kGood, "1 7 0\n", "1 7 0 sha256=" + kDigest + " back=" + kDigest + "\n"), ""},
        {replaced(kGood, "1 7 0\n", "1 7 0 sha256=abcd\n"), "line 5"},  // not a digest
        {replaced(kGood, "1 7 0\n", "1 7 0 back=" + kDigest + " sha256=" + kDigest + "\n"),
         "line 5"},                                           // out of order
        {replaced(kGood, "1 7 0 0 0 384 3", "-"), "line 5"},  // an origin without a way back
        {replaced(kGood, "1 7 0\n", "1 7\n"), "line 5"},      // an origin cut short
        {replaced(kGood, "key 6b", "key 6c"), "its key entry first"},
        {replaced(kGood, "folder " + kFolder, "folder 74"), "line 4"},  // not a full path
#ifdef _WIN32
        {replaced(kGood, "file 0 6b", "file 0 615c62"), "line 5"},        // "a\b"
        {replaced(kGood, "file 0 6b", "file 0 613a62"), "line 5"},        // "a:b", a stream
        {replaced(kGood, "folder " + kFolder, "folder 5c74"), "line 4"},  // "\t", on a drive
#endif
    };
    for (const auto& [text, refusal] : cases) {
        journal record;
        const std::string said = parse_journal(text, record);
        EXPECT_NE(said.find(refusal), std::string::npos) << text << " -> " << said;
        EXPECT_EQ(said.empty(), refusal.empty()) << text;
    }
    journal record;
    ASSERT_EQ(parse_journal(kGood + "committed\n", record), "");
    EXPECT_TRUE(record.committed);
    EXPECT_EQ(journal_text(record), kGood);
    // An earlier format's journal is read with each file on its folder's device, and written
    // again in this one.
    ASSERT_EQ(parse_journal(kFormat2, record = journal{}), "");
    EXPECT_EQ(record.entries.at(0).staged.device, 9U);
    EXPECT_EQ(record.entries.at(0).origin.device, 9U);
    EXPECT_EQ(record.entries.at(0).origin.inode, 7U);
}

TEST(ToolNames, LongNamesKeepApartAndFitOneName) {
    const std::string one = std::string(240, 'k') + "1.module";
    const std::string two = std::string(240, 'k') + "2.module";
    EXPECT_NE(journal_name(one), journal_name(two));
    EXPECT_LE(journal_name(one).size() + std::strlen(kStagedMarker) + kRunIdLetters,
              kMostNameBytes);
    EXPECT_EQ(journal_name("key.module"), "key.module.kvr_sign-journal");
    const marked_name a(one, kStagedMarker, this_run());
    const marked_name b(two, kStagedMarker, this_run());
    EXPECT_STRNE(a.c_str(), b.c_str());
    EXPECT_LE(std::strlen(a.c_str()), kMostNameBytes);
    run_id id{};
    bool is_run_file = false;
    ASSERT_TRUE(run_of_leftover(a.c_str(), id, is_run_file));
    EXPECT_EQ(id, this_run());
    EXPECT_FALSE(is_run_file);
    EXPECT_TRUE(run_of_leftover(run_file_name(this_run()).c_str(), id, is_run_file));
    EXPECT_TRUE(is_run_file);
    EXPECT_FALSE(run_of_leftover("a.module.kvr_sign-staged-AB", id, is_run_file));
}

// A long name of characters past ASCII is cut to the file system's 255 units (bytes; on
// Windows UTF-16 units), on Windows between whole characters, and keeps apart from its
// neighbour.
TEST(ToolNames, LongWideNamesFitTheFileSystemsUnits) {
    std::string wide;
    for (int i = 0; i < 240; ++i) {
        wide += "\xE6\x97\xA5";  // three bytes, one UTF-16 unit
    }
    const marked_name a(wide + "1.module", kStagedMarker, this_run());
    const marked_name b(wide + "2.module", kStagedMarker, this_run());
    EXPECT_STRNE(a.c_str(), b.c_str());
    EXPECT_LE(fio::name_length(a.c_str()), kMostNameBytes);
    EXPECT_LE(fio::name_length(journal_name(wide + "1.module")), kMostNameBytes);
#ifdef _WIN32
    EXPECT_EQ(std::string(a.c_str()).find('-') % 3, 0u);  // no character cut in two
    EXPECT_EQ(fio::name_length(a.c_str()), kMostNameBytes);
#endif
}

#ifdef _WIN32
// A folder whose flush fails when it is first held is refused before anything is written
// there, with its reason: no run starts a commit it could not make lasting there.
TEST(CommitSeam, AFolderThatCannotBeFlushedIsRefusedBeforeAnythingIsWritten) {
    const kvr_test::temp_dir dir;
    const kvr_test::bytes image = kvr_test::make_unsigned_module(7);
    fio::set_fault_hook([](const char* primitive) {
        return std::strcmp(primitive, "flush_folder") == 0 ? EIO : 0;
    });
    const auto failed = stage_output(dir / "new.module", image.data(), image.size());
    fio::set_fault_hook(nullptr);
    remove_staged_outputs();
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->reason, fio::error_text(fio::kErrorFolderNoFlush));
    EXPECT_TRUE(kvr_test::snapshot(dir.path()).empty());
}
#endif

int g_fail_at = 0;  // the number of the primitive call to fail; 0: none
int g_calls = 0;

int fail_nth(const char*) {
    return ++g_calls == g_fail_at ? EIO : 0;
}

// Stages a key entry and two outputs (one replacing a file) and commits them with the Nth
// primitive failed: either every target is new, or every target is as it was; and nothing of
// the tool's own is left either way.
TEST(CommitSeam, AFailureAtEveryPrimitiveLeavesAWholeSetOrNothingChanged) {
    const kvr_test::bytes image = kvr_test::make_unsigned_module(7);
    bool reached_the_end = false;
    for (g_fail_at = 1; !reached_the_end && g_fail_at < 200; ++g_fail_at) {
        SCOPED_TRACE("primitive call " + std::to_string(g_fail_at));
        const kvr_test::temp_dir dir;
        kvr_test::write_bytes(dir / "old.module", {'o', 'l', 'd'});
        kvr_test::write_bytes(dir / "key.module", {'k'});
        const kvr_test::folder_state before = kvr_test::snapshot(dir.path());
        g_calls = 0;
        fio::set_fault_hook(fail_nth);
        bool failed = false;
        for (const char* name : {"key.module", "old.module", "new.module"}) {
            failed = failed || stage_output(dir / name, image.data(), image.size()).has_value();
        }
        failed = failed || commit_staged_outputs().has_value();
        fio::set_fault_hook(nullptr);
        remove_staged_outputs();
        reached_the_end = g_calls < g_fail_at;
        const kvr_test::folder_state after = kvr_test::snapshot(dir.path());
        if (failed) {
            kvr_test::expect_same_except(before, after, {});
        } else {
            for (const char* name : {"key.module", "old.module", "new.module"}) {
                EXPECT_EQ(kvr_test::read_bytes(dir / name), image) << name;
            }
            // A clean-up step that fails after the commit is final leaves its file, named in a
            // warning; nothing else of the tool's own stays.
            for (const auto& [name, content] : after) {
                EXPECT_TRUE(before.count(name) != 0 || name == "new.module" ||
                            (!reached_the_end && name.find(".kvr_sign-") != std::string::npos))
                    << name;
            }
        }
        if (HasFailure()) {
            return;
        }
    }
    EXPECT_TRUE(reached_the_end);
}

}  // namespace
