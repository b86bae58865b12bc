// The module record's own guards, which the pair parser never lets a user reach, and where
// the signing engine keeps the key.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <vector>

#include "files.h"
#include "fradel_kvr_sign_cmd.h"
#include "staged_outputs.h"

namespace {

// A death test's child on Windows needs the parent's pipe handle duplicated, which Wine refuses,
// and GoogleTest's regular expressions there have no brackets: these run on Linux.
#ifdef _WIN32
#define SKIP_DEATH_TESTS_ON_WINDOWS() GTEST_SKIP() << "no death tests on Windows"
#else
#define SKIP_DEATH_TESTS_ON_WINDOWS() static_cast<void>(0)
#endif

const char* const kReportStart =
    "Internal error \\[FRADEL\\] qpx/fradel/fradel_kvr_sign_cmd:[0-9]+: ";

TEST(DescriptorModuleDeathTest, EmptyPathsAreRefusedInputFirst) {
    SKIP_DEATH_TESTS_ON_WINDOWS();
    EXPECT_EXIT(descriptor_module("", ""), testing::ExitedWithCode(70),
                std::string(kReportStart) + "Input file cannot be empty\n");
    EXPECT_EXIT(descriptor_module("in.module", ""), testing::ExitedWithCode(70),
                std::string(kReportStart) + "Output file cannot be empty\n");
}

TEST(DescriptorModuleDeathTest, WriteWithoutALoadedImageIsRefused) {
    SKIP_DEATH_TESTS_ON_WINDOWS();
    descriptor_module record("in.module", "out.module");
    EXPECT_EXIT(record.write(), testing::ExitedWithCode(70),
                std::string(kReportStart) + "data != NULL && size == \\(4096 \\+ 112\\)\n");
}

}  // namespace

namespace {

// The private key is generated in OpenSSL's secure heap: locked pages, wiped when freed.
TEST(KeyMemory, TheRunsPrivateKeyLivesInTheSecureHeap) {
    const kvr_test::temp_dir dir;
    kvr_test::write_bytes(dir / "in.module", kvr_test::make_unsigned_module(1));
    std::vector<descriptor_module> modules;
    modules.emplace_back(dir / "in.module", dir / "out.module");
    modules.front().load();
    sign_modules(modules, dir / "key.module");
    remove_staged_outputs();
    const key_memory_report memory = last_key_memory();
    EXPECT_TRUE(memory.secure_heap);
    EXPECT_TRUE(memory.key_in_heap);
#ifndef _WIN32
    // Locking needs a memory-lock limit above the heap's size, or the privilege to pass it.
    rlimit limit{};
    getrlimit(RLIMIT_MEMLOCK, &limit);
    if (::geteuid() == 0 || limit.rlim_cur >= 64 * 1024) {
        EXPECT_TRUE(memory.locked);
    }
#endif
}

}  // namespace
