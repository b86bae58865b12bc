// Cost of the signer's all-or-nothing output path alone: stages N module-sized files in one
// folder (replacing the files of the run before), flushes them and renames them into place,
// exactly as kvr_sign does at the end of a run.
//
//   kvr_bench_stage <folder> <N>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kvr_format.h"
#include "staged_outputs.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kvr_bench_stage <folder> <N>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const long count = std::strtol(argv[2], nullptr, 10);
    const std::vector<uint8_t> image(kvr::kImageSize, 0x5A);
    for (long i = 0; i < count; ++i) {
        const std::string path = folder + "/staged" + std::to_string(i) + ".module";
        if (const auto failed = stage_output(path, image.data(), image.size())) {
            std::fprintf(stderr, "%s: %s\n", failed->path.c_str(), failed->reason.c_str());
            return 1;
        }
    }
    if (const auto failed = commit_staged_outputs()) {
        std::fprintf(stderr, "%s: %s\n", failed->path.c_str(), failed->reason.c_str());
        return 1;
    }
    return 0;
}
