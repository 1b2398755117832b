#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/platform.h"

namespace fwu_test {

void UseProfile(const std::string& text) {
    platform::Profile profile;
    ASSERT_TRUE(platform::ParseProfile(text, "test.prof", &profile)) << platform::LastErrorText();
    platform::SetProfile(profile);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    return text;
}

}  // namespace fwu_test
