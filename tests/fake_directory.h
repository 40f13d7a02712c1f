// An in-memory directory for the unit tests: containers, users and groups;
// any operation a real directory can fail can be told to return a chosen
// status, and every forced change is recorded. RunHarness runs the whole tool
// against it with a fixed clock and zone, the output captured.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>
#include <tuple>

#include "cli/run.h"
#include "directory/directory.h"

namespace agewarden::testing {

constexpr const char* kBase = "DC=corp,DC=example";
constexpr const char* kStaff = "OU=Staff,DC=corp,DC=example";
// 2003-03-14 09:26:53 UTC: 190.1 days before the harness's clock.
constexpr int64_t kMarch14 = 126921076130000000;
// 2003-09-20 12:00:00 UTC.
constexpr int64_t kNow = 127085328000000000;

enum class Op { ReadNamingContext, OpenContainer, Search, FirstRow, NextRow, OpenGroup, Members, HasMember,
                OpenUser, GetUserAccountControl, ForceChange, GetDomainName, GetCallerName };

struct FakeUser {
  std::string name, upn;  // no UPN when empty
  int64_t pwdLastSet = 0;
  int32_t userAccountControl = 512;
};

class FakeDirectory : public Directory {
 public:
  std::optional<std::string> namingContext = kBase;
  /// Users by DN without quotes around RDN values; nothing for a container.
  std::map<std::string, std::optional<FakeUser>> objects = {{kBase, {}}, {kStaff, {}}};
  /// The members of each group of the domain, by name (matched ignoring ASCII case).
  std::map<std::string, std::vector<Principal>> groups;
  /// The NetBIOS name and the account of the session's credentials.
  std::string domainName = "CORP", callerName = "boss";
  int starts = 0, stops = 0;
  /// What reached the directory: each forced change as "CN: property=value ...;".
  std::string commits;

  void AddUser(const std::string& cn, const std::string& parentDn, const std::string& upn, int64_t pwdLastSet,
               int32_t userAccountControl = 512);
  /// Calls of `op` whose key (a DN, a filter, a group or account name)
  /// contains `key` return `status`.
  void Fail(Op op, HRESULT status, std::string key = "") { rules_.push_back({op, status, std::move(key)}); }
  HRESULT Check(Op op, const std::string& key) const;

  void Start() override { ++starts; }
  void Stop() override { ++stops; }
  HRESULT ReadNamingContext(std::optional<std::string>& out) override {
    return Give(Op::ReadNamingContext, namingContext, out);
  }
  HRESULT OpenContainer(const std::string& dn, std::unique_ptr<AccountSearch>& out) override;
  HRESULT OpenGroup(const std::string& domain, const std::string& name, std::unique_ptr<Group>& out) override;
  HRESULT OpenGroup(const Principal& member, std::unique_ptr<Group>& out) override;
  HRESULT OpenUser(const std::string& dn, std::unique_ptr<UserAccount>& out) override;
  HRESULT GetDomainName(std::string& out) override { return Give(Op::GetDomainName, domainName, out); }
  HRESULT GetCallerName(std::string& out) override { return Give(Op::GetCallerName, callerName, out); }

 private:
  template <typename T>
  HRESULT Give(Op op, const T& value, T& out) const {
    const HRESULT status = Check(op, "");
    if (status == S_OK) out = value;
    return status;
  }
  std::vector<std::tuple<Op, HRESULT, std::string>> rules_;
};

/// Ticks since 1601 of a UTC calendar time.
int64_t TicksOf(int year, unsigned month, unsigned day, int hour, int minute, int second);

/// A zone at a fixed offset from UTC, in hours.
inline ZoneOffset FixedZone(int hours) {
  return [hours](int64_t, int64_t& offset) { return offset = int64_t{hours} * 3600, true; };
}

/// The seams of a run in the domain CORP.
struct RunHarness {
  /// The whole tool, as main runs it; the exit status.
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "agewarden");
    const auto environment = [this](const std::string& name, std::string& value) {
      if (variables.count(name) != 0) value = variables[name];
      return variables.count(name) != 0;
    };
    return RunCommandLine(args, {&out, &directory, [] { return kNow; }, zone, environment});
  }

  std::ostringstream out;
  FakeDirectory directory;
  ZoneOffset zone = FixedZone(0);
  std::map<std::string, std::string> variables = {{"USERDOMAIN", "CORP"}, {"USERNAME", "boss"}};
};

/// One whole run: what is arranged before it, its arguments, and its output,
/// exit status and commits.
struct RunCase {
  std::vector<std::string> args;
  std::function<void(RunHarness&)> arrange;
  std::string output;
  int status;
  std::string committed = "";
};

/// Runs each case in a fresh harness, arranged first by `populate`.
inline void CheckRuns(const std::vector<RunCase>& cases, void (*populate)(RunHarness&) = nullptr) {
  for (const RunCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunHarness h;
    if (populate) populate(h);
    if (c.arrange) c.arrange(h);
    EXPECT_EQ(h.Run(c.args), c.status);
    EXPECT_EQ(h.out.str(), c.output);
    EXPECT_EQ(h.directory.commits, c.committed);
    EXPECT_EQ(h.directory.starts, h.directory.stops) << "every started session is stopped";
  }
}

}  // namespace agewarden::testing
