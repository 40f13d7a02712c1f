// Running the real binary and the lab's tools against the lab domain
// controller (scripts/labdc).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace agewarden::lab {

struct Result {
  std::string out;
  std::string err;
  int status = -1;
};

/// Skips the current test when the lab's environment is not set.
#define REQUIRE_LAB()                                                       \
  do {                                                                      \
    if (getenv("LAB_DIR") == nullptr) GTEST_SKIP() << "lab DC not running"; \
  } while (0)

/// The command line of `scripts/labdc ARGUMENTS` acting on the lab that the
/// environment names (LAB_DIR, LAB_IP), not on scripts/labdc's default one.
std::string LabdcCommand(const std::string& arguments);

/// The `export` lines of `scripts/labdc env [which]`, as a map.
std::map<std::string, std::string> LabEnvironment(const std::string& which = "");

/// Runs `program args...` with the current environment changed by
/// `overrides` (an empty value removes the variable); stdin is /dev/null.
Result Execute(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& overrides = {}, const std::string& input = "");

/// Runs agewarden.
Result Agewarden(const std::vector<std::string>& args, const std::map<std::string, std::string>& overrides = {});

/// Runs a shell command line (for ldapsearch and friends) and returns its output.
Result Shell(const std::string& command, const std::map<std::string, std::string>& overrides = {});

/// One attribute of one entry, read back with ldapsearch as Administrator.
std::string ReadAttribute(const std::string& dn, const std::string& attribute);

/// Resets the lab to its seeded state (for tests that write).
void ResetLab();

/// The lines of a text, in order.
std::vector<std::string> Lines(const std::string& text);

/// A scratch file name of this test process.
std::string TempPath(const std::string& name);

/// The lines of a text, sorted.
std::vector<std::string> SortedLines(const std::string& text);

}  // namespace agewarden::lab
