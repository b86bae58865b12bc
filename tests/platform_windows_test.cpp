// The platform layer's Windows side, run under Wine: long full paths, the lossless trip of
// names through UTF-8, list files with CRLF lines, the reasons a file cannot be read, file
// identity without case, arguments that reach a child whole, and console stop requests.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "console_stop.h"
#include "files.h"
#include "process.h"
#include "qpx_common.h"
#include "zrl_core.h"

namespace {

namespace fs = std::filesystem;

std::string narrow(const fs::path& path) {
    return fio_narrow_path(path.wstring());
}

// The folder's long form, as GetFinalPathNameByHandleW gives it.
std::wstring long_folder(const kvr_test::temp_dir& dir) {
    return fio_get_unc_full_path(narrow(dir.path()).c_str());
}

TEST(WindowsFullPath, NamesInAnExistingFolderTakeItsLongForm) {
    const kvr_test::temp_dir dir;
    fs::create_directory(dir.path() / "sub");
    const std::wstring folder = long_folder(dir);
    ASSERT_EQ(folder.rfind(L"\\\\?\\", 0), 0u) << fio_narrow_path(folder);
    const std::string base = narrow(dir.path());
    const std::vector<std::pair<std::string, std::wstring>> cases = {
        {base + "\\k.module", folder + L"\\k.module"},
        {base + "/k.module", folder + L"\\k.module"},
        {base + "\\sub\\..\\k.module", folder + L"\\k.module"},
        {base + "\\.\\sub\\k.module", folder + L"\\sub\\k.module"},
        {base + "\\sub\\", folder + L"\\sub"},
    };
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(fio_narrow_path(fio_get_unc_full_path(given.c_str())), fio_narrow_path(expected))
            << given;
    }
}

TEST(WindowsFullPath, UnresolvableFoldersKeepTheGivenNamesInTheLongForm) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"C:\\no-such-folder-kvr\\x\\k.module", "\\\\?\\C:\\no-such-folder-kvr\\x\\k.module"},
        {"\\\\server\\share\\dir\\k.module", "\\\\?\\UNC\\server\\share\\dir\\k.module"},
        {"\\\\?\\C:\\no-such-folder-kvr\\k.module", "\\\\?\\C:\\no-such-folder-kvr\\k.module"},
    };
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(fio_narrow_path(fio_get_unc_full_path(given.c_str())), expected) << given;
    }
}

TEST(WindowsFullPath, RelativePathsStartAtTheWorkingFolder) {
    const kvr_test::temp_dir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    const std::wstring full = fio_get_unc_full_path("k.module");
    fs::current_path(before);
    EXPECT_EQ(full, long_folder(dir) + L"\\k.module");
}

// Every name Windows can hold comes back as it went: non-ASCII text and lone surrogates.
TEST(WindowsNames, WideNamesSurviveTheTripThroughBytes) {
    const std::vector<std::wstring> names = {L"plain.module", L"caf\u00e9 \u2603.module",
                                             L"\U0001F600.module", std::wstring(L"x\xD800y"),
                                             std::wstring(L"x\xDC80y")};
    for (const std::wstring& name : names) {
        EXPECT_EQ(fio_widen_path(fio_narrow_path(name)), name);
    }
    EXPECT_EQ(fio_narrow_path(L"caf\u00e9"), "caf\xc3\xa9");
}

TEST(WindowsFiles, ListLinesEndingInCrLfAreReadAsLines) {
    const kvr_test::temp_dir dir;
    const std::string list = narrow(dir.path() / "list.txt");
    kvr_test::write_text(list, "a.module;b.module\r\n# note\r\n\r\nc.module;d.module\r\n");
    std::vector<std::string> lines;
    ASSERT_TRUE(QPX_COMMON::qpx_open_input_file(list, lines, '#', true, true));
    EXPECT_EQ(lines, (std::vector<std::string>{"a.module;b.module", "c.module;d.module"}));
}

TEST(WindowsFiles, NonAsciiNamesAreOpenedByTheirWideName) {
    const kvr_test::temp_dir dir;
    const fs::path path = dir.path() / L"caf\u00e9.module";
    kvr_test::write_text(narrow(path), "12345");
    uint32_t size = 0;
    uint8_t* data = QPX_COMMON::qpx_open_input_bin_file(narrow(path), size, 3);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(size, 3u);
    std::free(data);
    EXPECT_EQ(FIO_FILE_SYSTEM::regular_file_size(narrow(path)), 5u);
}

TEST(WindowsFiles, ReasonsAFileCannotBeReadAreTheCLibrarysWords) {
    const kvr_test::temp_dir dir;
    fs::create_directory(dir.path() / "folder.module");
    kvr_test::write_text(narrow(dir.path() / "file.module"), "x");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {narrow(dir.path() / "file.module"), ""},
        {narrow(dir.path() / "missing.module"), "No such file or directory"},
        {narrow(dir.path() / "missing" / "x.module"), "No such file or directory"},
        {narrow(dir.path() / "folder.module"), "it is a folder"},
        {std::string("a\0b", 3), "a name cannot hold a NUL byte"},
    };
    for (const auto& [path, reason] : cases) {
        EXPECT_EQ(FIO_FILE_SYSTEM::why_unreadable(path), reason) << path;
    }
    EXPECT_FALSE(FIO_FILE_SYSTEM::regular_file_size("NUL").has_value());
}

TEST(WindowsFiles, OneFileWhateverTheCaseOrSpellingOfItsName) {
    const kvr_test::temp_dir dir;
    kvr_test::write_text(narrow(dir.path() / "key.module"), "x");
    const std::string base = narrow(dir.path());
    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(base + "\\key.module", base + "\\KEY.Module"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(base + "\\key.module", base + "/./key.module"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::same_file(base + "\\new.module", base + "\\NEW.module"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::same_file(base + "\\key.module", base + "\\other.module"));
}

// The arguments a child gets are the words given: each unknown option comes back in the
// verifier's refusal (escaped as every message shows text), quotes, backslashes, spaces and
// non-ASCII text included.
TEST(WindowsCommandLine, ArgumentsReachTheChildWhole) {
    const kvr_test::temp_dir dir;
    const std::vector<std::string> words = {"--a b",       "--q\"uote",     "--back\\\\",
                                            "--tail\\\"x", "--caf\xc3\xa9", "--\xe2\x98\x83"};
    for (const std::string& word : words) {
        const kvr_test::process_result result =
            kvr_test::run_program(KVR_VERIFY_PATH, {word}, narrow(dir.path()));
        EXPECT_EQ(result.status, 9) << word;
        const std::string shown = fio_printable_text(word);  // a backslash shows doubled
        EXPECT_EQ(result.err.rfind("Error: Unknown option " + shown + ": \"" + shown + "\"\n", 0),
                  0u)
            << result.err;
    }
}

std::atomic<int> g_stop_signal{0};

void note_stop(int number) {
    g_stop_signal = number;
}

TEST(WindowsConsoleStop, ConsoleEventsAreStopSignals) {
    const std::vector<std::pair<DWORD, int>> cases = {
        {CTRL_C_EVENT, SIGINT},       {CTRL_BREAK_EVENT, SIGINT},     {CTRL_CLOSE_EVENT, SIGTERM},
        {CTRL_LOGOFF_EVENT, SIGTERM}, {CTRL_SHUTDOWN_EVENT, SIGTERM}, {99, 0},
    };
    for (const auto& [event, number] : cases) {
        EXPECT_EQ(qpx_signal_of_console_event(event), number) << event;
    }
}

// Ctrl-C sent to the process group reaches the installed handler as SIGINT. Wine delivers
// console events only where the process has a console.
TEST(WindowsConsoleStop, CtrlCReachesTheInstalledHandler) {
    if (GetConsoleWindow() == nullptr && AllocConsole() == 0 &&
        GetLastError() != ERROR_ACCESS_DENIED) {
        GTEST_SKIP() << "no console to send Ctrl-C to";
    }
    ASSERT_TRUE(qpx_install_stop_handler(note_stop));
    g_stop_signal = 0;
    if (GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) == 0) {
        qpx_remove_stop_handler();
        GTEST_SKIP() << "GenerateConsoleCtrlEvent failed: " << GetLastError();
    }
    for (int waited = 0; waited < 200 && g_stop_signal == 0; ++waited) {
        Sleep(10);
    }
    qpx_remove_stop_handler();
    EXPECT_EQ(g_stop_signal.load(), SIGINT);
}

// A stop request that comes while a hold is in force (a commit) waits for its end, on the
// event's own thread, and is then handled; holds nest.
TEST(WindowsConsoleStop, AStopDuringAHoldWaitsForItsEnd) {
    ASSERT_TRUE(qpx_install_stop_handler(note_stop));
    g_stop_signal = 0;
    std::thread event;
    {
        const qpx_stop_requests_held outer;
        const qpx_stop_requests_held inner;
        event = std::thread([] { qpx_deliver_console_event(CTRL_BREAK_EVENT); });
        Sleep(200);
        EXPECT_EQ(g_stop_signal.load(), 0) << "handled during the hold";
    }
    event.join();
    EXPECT_EQ(g_stop_signal.load(), SIGINT);
    g_stop_signal = 0;
    { const qpx_stop_requests_held after_the_stop; }  // a handler that returned lets holds be
    EXPECT_TRUE(qpx_deliver_console_event(CTRL_CLOSE_EVENT));
    EXPECT_EQ(g_stop_signal.load(), SIGTERM);
    qpx_remove_stop_handler();
    EXPECT_FALSE(qpx_deliver_console_event(CTRL_C_EVENT));
}

}  // namespace
