// The whole tool in memory: a domain CORP on the fake server, the real
// backend over it, a fixed clock and zone, the output captured.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "cli/run.h"
#include "directory/backend/ldap_directory.h"
#include "fake_server.h"

namespace agewarden::testing {

constexpr const char* kBase = "DC=corp,DC=example";
constexpr const char* kStaff = "OU=Staff,DC=corp,DC=example";
constexpr const char* kUsers = "CN=Users,DC=corp,DC=example";
constexpr const char* kDomainSid = "S-1-5-21-1-2-3";
// 2003-03-14 09:26:53 UTC: 190.1 days before the harness's clock.
constexpr int64_t kMarch14 = 126921076130000000;
// 2003-09-20 12:00:00 UTC.
constexpr int64_t kNow = 127085328000000000;

/// The root DSE, the domain DC=corp,DC=example with its crossRef (NetBIOS
/// name CORP), CN=Users, OU=Staff, and the groups Domain Admins (RID 512)
/// and Domain Users (513), empty, in CN=Users.
void AddDomain(FakeServer& server);
/// A person's account CN=`cn` below `parent`: sAMAccountName `cn`, the UPN
/// (none when empty), pwdLastSet and userAccountControl.
Entry& AddUser(FakeServer& server, const std::string& cn, const std::string& parent, const std::string& upn,
               int64_t pwdLastSet, int32_t userAccountControl = 512);
/// The group CN=`name`,CN=Users with the member DNs given.
Entry& AddGroup(FakeServer& server, const std::string& name, std::vector<std::string> members = {});

/// Ticks since 1601 of a UTC calendar time.
int64_t TicksOf(int year, unsigned month, unsigned day, int hour, int minute, int second);

/// A zone at a fixed offset from UTC, in hours.
inline ZoneOffset FixedZone(int hours) {
  return [hours](int64_t, int64_t& offset) { return offset = int64_t{hours} * 3600, true; };
}

/// The seams of a run in the domain CORP.
struct RunHarness {
  RunHarness() { AddDomain(server); }
  /// The whole tool, as main runs it (or as `run` does); the exit status.
  int Run(std::vector<std::string> args, decltype(&RunCommandLine) run = RunCommandLine);

  std::ostringstream out;
  FakeServer server;
  LdapSettings settings;
  ZoneOffset zone = FixedZone(0);
  std::map<std::string, std::string> variables = {{"USERDOMAIN", "CORP"}, {"USERNAME", "boss"}};
};

/// One whole run: what is arranged before it, its arguments, and its output,
/// exit status and writes.
struct RunCase {
  std::vector<std::string> args;
  std::function<void(RunHarness&)> arrange;
  std::string output;
  int status;
  std::string written = "";
};

/// Runs each case in a fresh harness, arranged first by `populate`.
void CheckRuns(const std::vector<RunCase>& cases, void (*populate)(RunHarness&) = nullptr);

}  // namespace agewarden::testing
