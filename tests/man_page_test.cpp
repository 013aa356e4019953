// The manual page the build writes from the option table: every option of
// the table is in it, with its version, and groff renders it without a
// warning.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/options.h"
#include "test_util.h"

namespace {

std::string man_page() {
    const std::vector<uint8_t> bytes = test::read_file(ORVANDEL_MAN_PAGE);
    return std::string(bytes.begin(), bytes.end());
}

// roff's spelling of "--name": every minus escaped.
std::string roff_option(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

TEST(ManPage, ListsEveryOptionOfTheTable) {
    const std::string page = man_page();
    ASSERT_NE(page.find(".SH OPTIONS"), std::string::npos);
    for (const OptionInfo& option : modern_option_table()) {
        EXPECT_NE(page.find("\\fB" + roff_option(std::string("--") + option.long_name) + "\\fR"), std::string::npos)
            << option.long_name;
        if (option.short_name) {
            EXPECT_NE(page.find("\\fB\\-" + std::string(1, option.short_name) + "\\fR, "), std::string::npos)
                << option.short_name;
        }
        if (option.value) {
            EXPECT_NE(page.find("\\fI" + roff_option(option.value) + "\\fR"), std::string::npos) << option.value;
        }
    }
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "ENVIRONMENT", "EXIT STATUS", "EXAMPLES"})
        EXPECT_NE(page.find(std::string(".SH ") + section + "\n"), std::string::npos) << section;
    std::string version = modern_version_text();  // "orvandel 2.0\n"
    version.pop_back();
    EXPECT_NE(page.find(".TH ORVANDEL 1 \"\" \"" + version + "\""), std::string::npos) << version;
}

TEST(ManPage, GroffRendersItWithoutWarnings) {
    if (std::system("command -v groff >/dev/null 2>&1") != 0) GTEST_SKIP() << "no groff";
    const std::string err = test::scratch_path("groff.txt");
    const int status = std::system(("groff -man -ww -z '" ORVANDEL_MAN_PAGE "' 2>'" + err + "'").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::vector<uint8_t> warnings = test::read_file(err);
    EXPECT_EQ(std::string(warnings.begin(), warnings.end()), "");
}

}  // namespace
