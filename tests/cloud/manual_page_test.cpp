// The manual as a command-line user meets it: --help ends with examples, and the manual page
// made from it names every option and shows the worked examples.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/support/cloud_runs.h"

namespace levelling {
namespace {

using test::Ended;
using test::LevellingCloudTest;
using test::read_file;

TEST_F(LevellingCloudTest, HelpEndsWithExamplesAndTheManualPageNamesEveryOption) {
#ifndef LEVELLING_MANUAL_PAGE
  FAIL() << "no manual page was made: help2man is missing (scripts/install-build-deps.sh)";
#else
  const Ended help = run("$L --help");
  ASSERT_EQ(0, help.status) << help.err;
  const size_t examples = help.out.rfind("\nExamples:\n");
  ASSERT_NE(std::string::npos, examples);
  std::istringstream after(help.out.substr(examples + 11));
  int commands = 0;
  for (std::string line; std::getline(after, line);) {
    commands += line.rfind("  levelling-cloud ", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(3, commands) << help.out;
  // The page, as roff with its escaped hyphens read back and as man shows it.
  std::string page = read_file(LEVELLING_MANUAL_PAGE);
  for (size_t at; (at = page.find("\\-")) != std::string::npos;) {
    page.erase(at, 1);
  }
  EXPECT_NE(std::string::npos, page.find(".SH EXAMPLES"));
  EXPECT_NE(std::string::npos, page.find(".SH \"EXIT STATUS\""));
  std::istringstream lines(help.out.substr(0, examples));
  int options = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  -", 0) != 0) {
      continue;
    }
    std::istringstream names(line.substr(0, line.find(' ', 2)));
    for (std::string name; std::getline(names, name, ',');) {
      ++options;
      EXPECT_NE(std::string::npos, page.find(name.substr(name.find('-')))) << name;
    }
  }
  EXPECT_GE(options, 25);
  const Ended shown = run("MANWIDTH=100 man -l '" LEVELLING_MANUAL_PAGE "'");
  ASSERT_EQ(0, shown.status) << shown.err;
  EXPECT_NE(std::string::npos, shown.out.find("EXAMPLES"));
  EXPECT_NE(std::string::npos, shown.out.find("--max-tilt"));
#endif
}

}  // namespace
}  // namespace levelling
