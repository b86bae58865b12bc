// Helpers shared by the fuzz targets: internal-error stops turned into exceptions, property
// checks that end the run as a crash, and a private working folder.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "zrl_core.h"

namespace kvr_fuzz {

// What a stopped check reported; thrown instead of ending the process.
struct internal_stop : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void throw_internal_stop(const char* message, const char*, const char*,
                                             int32_t) {
    throw internal_stop(message);
}

// Internal-error stops are an expected outcome of bad input: they must reach the target as
// exceptions so that the fuzzer goes on.
inline void intercept_internal_errors() {
    MSG_INTERNAL_ERROR::set_interceptor(throw_internal_stop);
}

// A broken property is a finding: abort, so that the fuzzer saves the input.
[[noreturn]] inline void property_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition)                                          \
    do {                                                               \
        if (!(condition)) {                                            \
            kvr_fuzz::property_failed(#condition, __FILE__, __LINE__); \
        }                                                              \
    } while (false)

inline std::filesystem::path& work_folder() {
    static std::filesystem::path folder;
    return folder;
}

// The fuzzer reads its arguments after LLVMFuzzerInitialize: corpus folders and artifact paths
// given relative to the starting folder are made absolute before the working folder changes.
inline void make_path_arguments_absolute(int* argc, char*** argv) {
    static std::vector<std::string> words;
    static std::vector<char*> pointers;
    for (int i = 0; i < *argc; ++i) {
        std::string word = (*argv)[i];
        for (const std::string flag : {"-artifact_prefix=", "-exact_artifact_path="}) {
            if (word.rfind(flag, 0) == 0 && word.size() > flag.size() && word[flag.size()] != '/') {
                word = flag + (std::filesystem::current_path() / word.substr(flag.size())).string();
            }
        }
        if (i > 0 && !word.empty() && word[0] != '-' && word[0] != '/') {
            word = std::filesystem::absolute(word).string();
        }
        words.push_back(word);
    }
    for (std::string& word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    *argv = pointers.data();
}

// Creates a fresh folder and makes it the working folder, so that relative paths in the inputs
// land there. It is removed when the fuzzer exits. The targets write a file per input: a
// folder in memory (/dev/shm) keeps that from costing a disk write each time.
inline const std::filesystem::path& enter_work_folder(const char* name, int* argc, char*** argv) {
    make_path_arguments_absolute(argc, argv);
    std::error_code error;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string pattern = (base / (std::string(name) + "_XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr || ::chdir(pattern.c_str()) != 0) {
        property_failed("a working folder can be created", __FILE__, __LINE__);
    }
    work_folder() = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(work_folder(), ignored);
    });
    return work_folder();
}

inline bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The white space that the text services remove around text.
inline bool is_outer_white_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace kvr_fuzz
