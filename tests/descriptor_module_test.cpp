// The module record's own guards, which the pair parser never lets a user reach.
#include <gtest/gtest.h>

#include "fradel_kvr_sign_cmd.h"

namespace {

const char* const kReportStart =
    "Internal error \\[FRADEL\\] qpx/fradel/fradel_kvr_sign_cmd:[0-9]+: ";

TEST(DescriptorModuleDeathTest, EmptyPathsAreRefusedInputFirst) {
    EXPECT_EXIT(descriptor_module("", ""), testing::ExitedWithCode(70),
                std::string(kReportStart) + "Input file cannot be empty\n");
    EXPECT_EXIT(descriptor_module("in.module", ""), testing::ExitedWithCode(70),
                std::string(kReportStart) + "Output file cannot be empty\n");
}

TEST(DescriptorModuleDeathTest, WriteWithoutALoadedImageIsRefused) {
    descriptor_module record("in.module", "out.module");
    EXPECT_EXIT(record.write(), testing::ExitedWithCode(70),
                std::string(kReportStart) + "data != NULL && size == \\(4096 \\+ 112\\)\n");
}

}  // namespace
