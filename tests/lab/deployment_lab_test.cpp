// The ways an organisation's machines reach the lab domain controller: LDAPS
// with the lab's CA, a client keytab instead of a ticket cache, and a DC found
// through DNS SRV records. Each must print the same report as the plain
// ldap:// run with a ticket, or be refused the way a failed bind is.
#include <unistd.h>

#include <fstream>

#include "lab_support.h"

namespace agewarden::lab {
namespace {

const std::vector<std::string> kReport = {"-o", "Staff", "-d", "90"};
const std::string kRefused = "Could not bind to LDAP://rootDSE.\nErrors: 1 \n";

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

struct Case {
  std::string name;
  std::map<std::string, std::string> overrides;
  bool refused;
};

// Runs every case and compares it with `reference` (or with the refusal).
void ExpectReports(const std::vector<Case>& cases, const Result& reference) {
  ASSERT_EQ(reference.status, 0) << reference.out;
  ASSERT_NE(reference.out.find("staff200a@agewarden.lab"), std::string::npos) << reference.out;
  for (const Case& c : cases) {
    const Result r = Agewarden(kReport, c.overrides);
    EXPECT_EQ(r.out, c.refused ? kRefused : reference.out) << c.name;
    EXPECT_EQ(r.status, c.refused ? 1 : reference.status) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
  }
}

TEST(DeploymentLab, LdapsVerifiesTheDcCertificate) {
  REQUIRE_LAB();
  const auto lab = LabEnvironment();
  ASSERT_TRUE(lab.count("LAB_CA") && lab.count("LAB_LDAPS_URI")) << "lab without TLS: scripts/labdc restart";
  // A CA of its own that never signed the DC's certificate.
  const std::string otherCa = TempPath("other-ca.pem");
  const Result made = Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=other -keyout /dev/null "
                            "-out '" + otherCa + "' 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  // ldaps:// with this CA file (none: ldap.conf's, the system's) and REQCERT.
  const auto tls = [&](const std::string& ca, const std::string& reqcert) {
    return std::map<std::string, std::string>{
        {"LDAPURI", lab.at("LAB_LDAPS_URI")}, {"LDAPTLS_CACERT", ca}, {"LDAPTLS_REQCERT", reqcert}};
  };
  ExpectReports(
      {
          {"lab CA, demand", tls(lab.at("LAB_CA"), "demand"), false},
          {"lab CA, libldap's default REQCERT", tls(lab.at("LAB_CA"), ""), false},
          {"another CA, demand", tls(otherCa, "demand"), true},
          {"the system's CAs, demand", tls("", "demand"), true},
      },
      Agewarden(kReport));
  unlink(otherCa.c_str());
}

TEST(DeploymentLab, ClientKeytabWithoutTicketCache) {
  REQUIRE_LAB();
  const auto lab = LabEnvironment("plain");
  ASSERT_TRUE(lab.count("LAB_CLIENT_KEYTAB")) << "lab without a client keytab: scripts/labdc keytab";
  const std::string keytab = lab.at("LAB_CLIENT_KEYTAB");
  const std::string fresh = TempPath("fresh.ccache"), empty = TempPath("empty.ccache");
  unlink(fresh.c_str());
  unlink(empty.c_str());
  const auto run = [](const std::string& ktname, const std::string& ccname) {
    return std::map<std::string, std::string>{{"KRB5_CLIENT_KTNAME", ktname}, {"KRB5CCNAME", ccname}};
  };
  ExpectReports(
      {
          {"keytab, no cache file", run(keytab, "FILE:" + fresh), false},
          {"keytab, memory cache", run(keytab, "MEMORY:agewarden"), false},
          {"neither keytab nor ticket", run("FILE:/nonexistent.keytab", "FILE:" + empty), true},
      },
      Agewarden(kReport, {{"KRB5CCNAME", lab.at("KRB5CCNAME")}}));
  unlink(fresh.c_str());
  unlink(empty.c_str());
}

TEST(DeploymentLab, DomainControllerFromDnsSrvRecords) {
  REQUIRE_LAB();
  const auto lab = LabEnvironment();
  if (!lab.count("LAB_DNS_SERVER")) GTEST_SKIP() << "lab without its DNS server (made before it): scripts/labdc reset";
  if (Shell("unshare -m true").status != 0) GTEST_SKIP() << "no mount namespace (needs root)";
  // A resolver that asks only the lab DC, seen by agewarden alone, and an
  // ldap.conf without a URI.
  const std::string resolv = TempPath("resolv.conf"), ldapConf = TempPath("ldap.conf");
  WriteFile(resolv, "nameserver " + lab.at("LAB_DNS_SERVER") + "\n");
  WriteFile(ldapConf, "SASL_MECH\tGSSAPI\nSASL_NOCANON\ton\n");
  const std::string command =
      "unshare -m sh -c 'mount --bind \"$RESOLV\" /etc/resolv.conf && exec \"$BINARY\" -o Staff -d 90'";
  const std::map<std::string, std::string> srv = {
      {"RESOLV", resolv}, {"BINARY", AGEWARDEN_BINARY}, {"LDAPURI", ""}, {"LDAPCONF", ldapConf}};
  const Result reference = Agewarden(kReport);
  const Result found = Shell(command, srv);
  EXPECT_EQ(found.out, reference.out);
  EXPECT_EQ(found.status, reference.status);
  // The same with a krb5.conf whose realm has no SRV records: no server, no bind.
  const std::string krb5 = TempPath("krb5.conf");
  WriteFile(krb5, "[libdefaults]\n\tdefault_realm = NOWHERE.INVALID\n");
  auto nowhere = srv;
  nowhere["KRB5_CONFIG"] = krb5;
  const Result none = Shell(command, nowhere);
  EXPECT_EQ(none.out, kRefused);
  EXPECT_EQ(none.status, 1);
  for (const std::string& path : {resolv, ldapConf, krb5}) unlink(path.c_str());
}

}  // namespace
}  // namespace agewarden::lab
