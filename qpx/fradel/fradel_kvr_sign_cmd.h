// kvr_sign: the pieces of the signing tool that its tests reach directly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kvr_format.h"
#include "qpx_common.h"

// Run statuses of the tool (a command-line error returns the parser's own code).
inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusNoForm = 7;         // neither invocation form applies
inline constexpr int32_t kStatusPairRejected = 10;  // a module pair or the key entry path
inline constexpr int32_t kStatusOutputLost = 74;    // a finished run whose stdout was lost

inline constexpr uint32_t kOptionCount = 5;
inline constexpr uint32_t kHelpCount = 24;

extern std::vector<std::string> m_files;
extern bool help_flag;
extern bool unit_test_flag;
extern bool print_argument_flag;
extern uint32_t permission_value;
extern uint32_t cancel_value;
extern QPX_COMMON_CMD_ARG_STRUCT option_table[kOptionCount];
extern QPX_COMMON_CMD_HELP_STRUCT help_table[kHelpCount];

// One module of the work list: its paths and, from load to write, its image.
struct descriptor_module {
    std::string input_file;
    std::string output_file;
    uint8_t* data = nullptr;  // owned; wiped before it is released
    uint32_t size = 0;
    uint32_t origin = 0;  // the list-file line or the argument number of its pair (from 1)

    descriptor_module(std::string input, std::string output);
    descriptor_module(descriptor_module&& other) noexcept;
    descriptor_module& operator=(descriptor_module&& other) noexcept;
    descriptor_module(const descriptor_module&) = delete;
    descriptor_module& operator=(const descriptor_module&) = delete;
    ~descriptor_module();

    void load();   // reads and checks the unsigned image
    void write();  // stages the signed image for the commit, then wipes and releases it

  private:
    void release_image();
};

using pke_buffer = std::array<uint8_t, kvr::kPkeSize>;

int32_t read_module_list(const std::string& list_path, std::vector<descriptor_module>& modules);
// `origin` is a detail line that says where the pair was written ("  list.txt:3: <line>" or
// "  argument 2: <argument>"); a rejected pair is reported with it and with what is wrong.
int32_t parse_module_pair(std::string pair_text, std::vector<descriptor_module>& modules,
                          const std::string& origin = "");
void fill_pke_fixed_parts(pke_buffer& pke_module, uint32_t permission, uint32_t cancel);
void sign_modules(std::vector<descriptor_module>& modules, std::string key_file);

// Where the run's private key lived: in OpenSSL's secure heap (locked pages left out of core
// dumps, wiped when freed) or, where the platform refused the heap, in ordinary memory.
struct key_memory_report {
    bool secure_heap = false;  // the secure heap was set up
    bool locked = false;       // and its pages are locked in memory (else it is used unlocked)
    bool key_in_heap = false;  // and the generated key was allocated from it
};
key_memory_report last_key_memory();
int32_t run_signing();
// The whole program; it closes stdout before it returns the exit status.
int fradel_kvr_sign_main(int argc, char** argv);
