// Checks of what the tools print on stderr: the fixed lines that scripts match, then only
// detail lines.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace kvr_test {

// `err` begins with `fixed` byte for byte, and every line after it is a detail line: two spaces
// in front, a line feed after.
inline ::testing::AssertionResult fixed_then_details(const std::string& err,
                                                     const std::string& fixed) {
    if (err.rfind(fixed, 0) != 0) {
        return ::testing::AssertionFailure() << "does not begin with the fixed lines:\n" << err;
    }
    std::istringstream rest(err.substr(fixed.size()));
    for (std::string line; std::getline(rest, line);) {
        if (line.rfind("  ", 0) != 0 || line.size() == 2) {
            return ::testing::AssertionFailure() << "not a detail line: \"" << line << "\"\n"
                                                 << err;
        }
    }
    if (err.size() > fixed.size() && err.back() != '\n') {
        return ::testing::AssertionFailure() << "no line feed at the end:\n" << err;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace kvr_test
