// Fuzz target: arbitrary list-file contents through the list reader into a work list. The
// working folder holds a few files that pairs may name, and a folder whose name ends in
// ".module". Every accepted record must carry non-empty trimmed paths ending in ".module"
// and an input that exists; the number of records must match the pair lines read.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fradel_kvr_sign_cmd.h"
#include "fuzz_support.h"
#include "zrl_core.h"

namespace {

using kvr_fuzz::ends_with;
using kvr_fuzz::is_outer_white_space;

const char* const kListFile = "list.txt";

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
}

// Lines that hold something besides white space before their first "#".
size_t count_pair_lines(const uint8_t* data, size_t size) {
    size_t count = 0;
    bool in_comment = false;
    bool has_text = false;
    for (size_t i = 0; i <= size; ++i) {
        const char c = i < size ? static_cast<char>(data[i]) : '\n';
        if (c == '\n') {
            count += has_text ? 1 : 0;
            in_comment = has_text = false;
        } else if (c == '#') {
            in_comment = true;
        } else if (!in_comment && !is_outer_white_space(c)) {
            has_text = true;
        }
    }
    return count;
}

void check_path(const std::string& path) {
    FUZZ_CHECK(!path.empty());
    FUZZ_CHECK(!is_outer_white_space(path.front()) && !is_outer_white_space(path.back()));
    FUZZ_CHECK(ends_with(path, ".module"));
    FUZZ_CHECK(path.find(';') == std::string::npos && path.find('#') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    kvr_fuzz::intercept_internal_errors();
    kvr_fuzz::enter_work_folder("kvr_fuzz_module_list", argc, argv);
    for (const char* name : {"a.module", "b.module", "in put.module", "a.MODULE", "notes.txt"}) {
        std::ofstream(name) << "x";
    }
    std::filesystem::create_directory("folder.module");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_file(kListFile, data, size);
    std::vector<descriptor_module> modules;
    int32_t status = -1;
    try {
        status = read_module_list(kListFile, modules);
    } catch (const kvr_fuzz::internal_stop&) {
        // A readable list file never stops the reader: every pair error is a user error.
        FUZZ_CHECK(!"the list reader stopped on a readable file");
    }
    FUZZ_CHECK(status == kStatusOk || status == kStatusPairRejected);
    const size_t pair_lines = count_pair_lines(data, size);
    FUZZ_CHECK(status == kStatusOk ? modules.size() == pair_lines : modules.size() < pair_lines);
    for (const descriptor_module& module : modules) {
        check_path(module.input_file);
        check_path(module.output_file);
        FUZZ_CHECK(FIO_FILE_SYSTEM::exists(module.input_file));
        FUZZ_CHECK(module.data == nullptr && module.size == 0);
    }
    return 0;
}
