#include "run_harness.h"

#include <chrono>

#include "directory/backend/sid.h"

namespace agewarden::testing {
namespace {

std::string Sid(uint32_t rid) { return *ldap::SidFromText(kDomainSid + ("-" + std::to_string(rid))); }

uint32_t NextRid(FakeServer& server) { return 1100 + static_cast<uint32_t>(server.entries.size()); }

}  // namespace

void AddDomain(FakeServer& server) {
  server.Add("", {{"defaultNamingContext", {kBase}}, {"configurationNamingContext", {"CN=Configuration,DC=corp,DC=example"}}});
  server.Add(kBase, {{"objectClass", {"top", "domain", "domainDNS"}}});
  server.Add("CN=Configuration,DC=corp,DC=example", {{"objectClass", {"top", "configuration"}}});
  server.Add("CN=Partitions,CN=Configuration,DC=corp,DC=example", {{"objectClass", {"top", "crossRefContainer"}}});
  server.Add("CN=CORP,CN=Partitions,CN=Configuration,DC=corp,DC=example",
             {{"objectClass", {"top", "crossRef"}}, {"nCName", {kBase}}, {"nETBIOSName", {"CORP"}}});
  server.Add(kUsers, {{"objectClass", {"top", "container"}}});
  server.Add(kStaff, {{"objectClass", {"top", "organizationalUnit"}}});
  AddGroup(server, "Domain Admins").attributes.back().values = {Sid(512)};
  AddGroup(server, "Domain Users").attributes.back().values = {Sid(513)};
}

Entry& AddUser(FakeServer& server, const std::string& cn, const std::string& parent, const std::string& upn,
               int64_t pwdLastSet, int32_t userAccountControl) {
  std::vector<Attribute> attributes = {{"objectClass", {"top", "person", "organizationalPerson", "user"}},
                                       {"objectCategory", {"person"}}, {"name", {cn}}, {"sAMAccountName", {cn}},
                                       {"pwdLastSet", {std::to_string(pwdLastSet)}},
                                       {"userAccountControl", {std::to_string(userAccountControl)}},
                                       {"objectSid", {Sid(NextRid(server))}}};
  if (!upn.empty()) attributes.push_back({"userPrincipalName", {upn}});
  return server.Add("CN=" + cn + "," + parent, std::move(attributes));
}

Entry& AddGroup(FakeServer& server, const std::string& name, std::vector<std::string> members) {
  std::vector<Attribute> attributes = {{"objectClass", {"top", "group"}}, {"sAMAccountName", {name}}};
  if (!members.empty()) attributes.push_back({"member", std::move(members)});
  attributes.push_back({"objectSid", {Sid(NextRid(server))}});
  return server.Add("CN=" + name + "," + kUsers, std::move(attributes));
}

int RunHarness::Run(std::vector<std::string> args, decltype(&RunCommandLine) run) {
  args.insert(args.begin(), "agewarden");
  const auto environment = [this](const std::string& name, std::string& value) {
    if (variables.count(name) != 0) value = variables[name];
    return variables.count(name) != 0;
  };
  const auto directory = CreateLdapDirectory(settings, server.Factory());
  return run(args, {&out, directory.get(), [] { return kNow; }, zone, environment});
}

void CheckRuns(const std::vector<RunCase>& cases, void (*populate)(RunHarness&)) {
  // Writes answered at once, only when waited for, or out of order: one run.
  const std::function<bool(const std::string&)> arrivals[] = {
      nullptr,
      [](const std::string& request) { return !request.starts_with("modify"); },
      [](const std::string& request) { return std::hash<std::string>{}(request) % 2 == 0; },
  };
  for (const RunCase& c : cases) for (const auto& arrived : arrivals) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + (arrived ? " writes answered late" : ""));
    RunHarness h;
    h.server.arrived = arrived;
    if (populate) populate(h);
    if (c.arrange) c.arrange(h);
    EXPECT_EQ(h.Run(c.args), c.status);
    EXPECT_EQ(h.out.str(), c.output);
    EXPECT_EQ(h.server.writes, c.written);
    EXPECT_EQ(h.server.open, 0) << "every connection is closed";
  }
}

int64_t TicksOf(int year, unsigned month, unsigned day, int hour, int minute, int second) {
  using namespace std::chrono;
  const auto since1601 = sys_days{std::chrono::year{year} / month / day} - sys_days{1601y / January / 1} +
                         hours{hour} + minutes{minute} + seconds{second};
  return duration_cast<seconds>(since1601).count() * kTicksPerSecond;
}

}  // namespace agewarden::testing
