#!/usr/bin/python3
# Seed the lab directory with its fixed set of OUs, users and groups.
#
# Runs offline against the freshly provisioned sam.ldb (Samba must not be
# running), in a single transaction.  Users are created "in the past" so that
# their pwdLastSet is aged: this process is started with libfaketime preloaded
# and FAKETIME_NO_CACHE=1, so rewriting $FAKETIME between batches moves the
# clock that Samba's password_hash module reads when it stamps pwdLastSet.
#
# Usage: seed.py SMB_CONF SPN_HOST [DC_HOST]
#   The passwords come from the environment: LAB_USER_PASSWORD (every seeded
#   user) and LAB_PLAIN_PASSWORD (plainuser).
#
# After committing, every seeded user's pwdLastSet is read back and checked
# against the intended age; any mismatch is an error (exit 1).

import os
import sys
import time

from samba.auth import system_session
from samba.param import LoadParm
from samba.dcerpc import security
from samba.ndr import ndr_unpack
from samba.samdb import SamDB
from samba.sd_utils import SDUtils
import ldb

DAY = 86400
# Seconds between 1601-01-01 (FILETIME epoch) and 1970-01-01.
EPOCH_DIFF = 11644473600

UF_NORMAL_ACCOUNT = 0x0200
UF_DONT_EXPIRE_PASSWD = 0x10000

# (rdn path below the base DN, cn, sAMAccountName, UPN, age in days, UAC)
# UPN: None means "<sam>@agewarden.lab"; False means no UPN at all.
STAFF = "OU=Staff"
YOUROU = "OU=Your OU"
ADMINS = "OU=Admins,OU=Your Staff,OU=Your OU"
USERS = "CN=Users"
BULK = "OU=Bulk"

PLAIN = "plainuser"

USER_TABLE = [
    (STAFF, "Staff 010 A", "staff010a", None, 10, UF_NORMAL_ACCOUNT),
    (STAFF, "Staff 010 B", "staff010b", None, 10, UF_NORMAL_ACCOUNT),
    (STAFF, "Staff 095 A", "staff095a", None, 95, UF_NORMAL_ACCOUNT),
    (STAFF, "Staff 095 B", "staff095b", None, 95, UF_NORMAL_ACCOUNT),
    (STAFF, "Staff 200 A", "staff200a", None, 200, UF_NORMAL_ACCOUNT),
    (STAFF, "Staff 200 B", "staff200b", None, 200, UF_NORMAL_ACCOUNT),
    (STAFF, "Staff 400 A", "staff400a", None, 400, UF_NORMAL_ACCOUNT),
    (STAFF, "Staff 400 B", "staff400b", None, 400, UF_NORMAL_ACCOUNT),
    (STAFF, "Never Expires 200", "nevexp200", None, 200,
     UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD),
    (STAFF, "No UPN 400", "noupn400", False, 400, UF_NORMAL_ACCOUNT),
    (STAFF, "Slash/User", "slashuser", None, 200, UF_NORMAL_ACCOUNT),
    (STAFF, "José Núñez", "jose200", "josé@agewarden.lab", 200,
     UF_NORMAL_ACCOUNT),
    (YOUROU, "Your OU 095", "yourou095", None, 95, UF_NORMAL_ACCOUNT),
    (ADMINS, "Admin 010", "admin010", None, 10, UF_NORMAL_ACCOUNT),
    (ADMINS, "Admin 200", "admin200", None, 200, UF_NORMAL_ACCOUNT),
    (ADMINS, "Admin 400", "admin400", None, 400, UF_NORMAL_ACCOUNT),
    (USERS, "Plain User", PLAIN, None, 10, UF_NORMAL_ACCOUNT),
    # Identities of their own: a UPN that is not the sAMAccountName, Domain
    # Admins through a nested group and through primaryGroupID, and a user
    # delegated to write pwdLastSet on DELEGATED's account while denied
    # reading its userAccountControl, and to force the change on two of the
    # others there (one whose password never expires) but not the third.
    (USERS, "John Doe", "jdoe2", "john.doe@agewarden.lab", 10, UF_NORMAL_ACCOUNT),
    (USERS, "Nested Admin", "nestadmin", None, 10, UF_NORMAL_ACCOUNT),
    (USERS, "Primary Admin", "primeadmin", None, 10, UF_NORMAL_ACCOUNT),
    (USERS, "Delegate", "delegate", None, 10, UF_NORMAL_ACCOUNT),
    ("OU=Delegated", "Delegated 400", "deleg400", None, 400,
     UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD),
    ("OU=Delegated", "Delegated 200", "deleg200", None, 200,
     UF_NORMAL_ACCOUNT),
    ("OU=Delegated", "Delegated Never 200", "delegnev200", None, 200,
     UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD),
    ("OU=Delegated", "Delegated Refused 200", "delegref200", None, 200,
     UF_NORMAL_ACCOUNT),
] + [
    (BULK, "Bulk %03d" % i, "bulk%03d" % i, None, 200, UF_NORMAL_ACCOUNT)
    for i in range(1, 36)
]

# Parents first.
OUS = ["OU=Staff", "OU=Your OU", "OU=Your Staff,OU=Your OU",
       "OU=Admins,OU=Your Staff,OU=Your OU", "OU=Groups", "OU=Bulk",
       "OU=Delegated"]

GROUPS = ["Lab Group A", "Lab Group B", "Lab Group C", "Empty Group",
          "Empty One", "Empty Two", "Nest Of Empties", "Big Group",
          "Nested Admins"]

# Members are sAMAccountNames of users or cns of groups in OU=Groups.
MEMBERS = {
    "Lab Group A": ["staff200a", "group:Lab Group B", "staff400a"],
    "Lab Group B": ["staff400b", "group:Lab Group C"],
    "Lab Group C": ["admin400", "staff400a", "group:Lab Group A"],
    "Nest Of Empties": ["group:Empty One", "group:Empty Two"],
    "Big Group": ["bulk%03d" % i for i in range(1, 36)],
    "Nested Admins": ["nestadmin"],
}

# pwdLastSet and userAccountControl (their schemaIDGUIDs).
PWD_LAST_SET = "bf967a0a-0de6-11d0-a285-00aa003049e2"
USER_ACCOUNT_CONTROL = "bf967a68-0de6-11d0-a285-00aa003049e2"
DOMAIN_ADMINS_RID = 512

# Global security group.
GROUP_TYPE = str(-2147483646)


def set_clock(days_ago):
    os.environ["FAKETIME"] = "-%dd" % days_ago if days_ago else "+0"


def clock_is_fake():
    real = time.time()
    set_clock(1000)
    faked = time.time()
    set_clock(0)
    return real - faked > 999 * DAY


def unicode_pwd(password):
    return ('"%s"' % password).encode("utf-16-le")


def main():
    if len(sys.argv) not in (3, 4):
        sys.stderr.write("usage: seed.py SMB_CONF SPN_HOST [DC_HOST]\n")
        return 2
    smbconf, spn_host = sys.argv[1], sys.argv[2]
    dc_host = sys.argv[3] if len(sys.argv) == 4 else None
    user_pw = os.environ["LAB_USER_PASSWORD"]
    plain_pw = os.environ["LAB_PLAIN_PASSWORD"]

    if not clock_is_fake():
        sys.stderr.write("seed.py: libfaketime is not active "
                         "(LD_PRELOAD/FAKETIME_NO_CACHE missing)\n")
        return 1

    lp = LoadParm()
    lp.load(smbconf)
    samdb = SamDB(url=lp.samdb_url(), lp=lp, session_info=system_session())
    base = str(samdb.domain_dn())
    dnsdomain = "agewarden.lab"

    def dn(rdns):
        return "%s,%s" % (rdns, base)

    samdb.transaction_start()
    try:
        set_clock(0)
        for ou in OUS:
            samdb.add({"dn": dn(ou), "objectClass": "organizationalUnit"})

        user_dns = {}
        for age in sorted({u[4] for u in USER_TABLE}, reverse=True):
            set_clock(age)
            for parent, cn, sam, upn, uage, uac in USER_TABLE:
                if uage != age:
                    continue
                # None of the cns need DN escaping ("/" is not special).
                udn = "CN=%s,%s" % (cn, dn(parent))
                msg = {
                    "dn": udn,
                    "objectClass": "user",
                    "sAMAccountName": sam,
                    "displayName": cn,
                    "userAccountControl": str(uac),
                    "unicodePwd": unicode_pwd(plain_pw if sam == PLAIN
                                              else user_pw),
                }
                if upn is None:
                    msg["userPrincipalName"] = "%s@%s" % (sam, dnsdomain)
                elif upn:
                    msg["userPrincipalName"] = upn
                samdb.add(msg)
                user_dns[sam] = udn

        set_clock(0)
        group_dns = {}
        for g in GROUPS:
            gdn = dn("CN=%s,OU=Groups" % g)
            samdb.add({"dn": gdn, "objectClass": "group",
                       "sAMAccountName": g, "groupType": GROUP_TYPE})
            group_dns[g] = gdn
        for g, members in MEMBERS.items():
            m = ldb.Message()
            m.dn = ldb.Dn(samdb, group_dns[g])
            vals = [group_dns[x[6:]] if x.startswith("group:") else user_dns[x]
                    for x in members]
            m["member"] = ldb.MessageElement(vals, ldb.FLAG_MOD_ADD, "member")
            samdb.modify(m)

        # Domain Admins: Nested Admins as a member; primeadmin as a member
        # first (Samba sets a primary group only among a user's groups), then
        # by primaryGroupID alone.
        admins = dn("CN=Domain Admins,CN=Users")
        m = ldb.Message()
        m.dn = ldb.Dn(samdb, admins)
        m["member"] = ldb.MessageElement(
            [group_dns["Nested Admins"], user_dns["primeadmin"]],
            ldb.FLAG_MOD_ADD, "member")
        samdb.modify(m)
        m = ldb.Message()
        m.dn = ldb.Dn(samdb, user_dns["primeadmin"])
        m["primaryGroupID"] = ldb.MessageElement(
            str(DOMAIN_ADMINS_RID), ldb.FLAG_MOD_REPLACE, "primaryGroupID")
        samdb.modify(m)

        # delegate may write pwdLastSet of deleg400 but not read its
        # userAccountControl (explicit ACEs, ahead of the readers' allow).
        sid = samdb.search(base=user_dns["delegate"], scope=ldb.SCOPE_BASE,
                           attrs=["objectSid"])[0]["objectSid"][0]
        sid = str(ndr_unpack(security.dom_sid, sid))
        SDUtils(samdb).dacl_prepend_aces(
            user_dns["deleg400"],
            "(OD;;RP;%s;;%s)(OA;;WP;%s;;%s)"
            % (USER_ACCOUNT_CONTROL, sid, PWD_LAST_SET, sid))
        for sam in ("deleg200", "delegnev200"):
            SDUtils(samdb).dacl_prepend_aces(
                user_dns[sam], "(OA;;WP;%s;;%s)(OA;;WP;%s;;%s)"
                % (USER_ACCOUNT_CONTROL, sid, PWD_LAST_SET, sid))

        # GSSAPI to ldap://<ip> asks the KDC for ldap/<ip>: make the DC's
        # account carry that name too.  A DC found through DNS SRV records
        # is reached by its host name: ldap/<dc host> as well.
        res = samdb.search(base=base, scope=ldb.SCOPE_SUBTREE,
                           expression="(&(objectClass=computer)"
                           "(primaryGroupID=516))",
                           attrs=["servicePrincipalName"])
        if len(res) != 1:
            raise RuntimeError("expected exactly one DC account")
        have = set(str(v).lower()
                   for v in res[0].get("servicePrincipalName", []))
        wanted = ["ldap/%s" % spn_host, "host/%s" % spn_host]
        if dc_host:
            wanted.append("ldap/%s" % dc_host)
        m = ldb.Message()
        m.dn = res[0].dn
        m["servicePrincipalName"] = ldb.MessageElement(
            [n for n in wanted if n.lower() not in have],
            ldb.FLAG_MOD_ADD, "servicePrincipalName")
        samdb.modify(m)
    except Exception:
        samdb.transaction_cancel()
        raise
    samdb.transaction_commit()

    # Read back and check the ages.
    now = time.time()
    bad = 0
    for parent, cn, sam, upn, age, uac in USER_TABLE:
        res = samdb.search(base=base, scope=ldb.SCOPE_SUBTREE,
                           expression="(sAMAccountName=%s)" % sam,
                           attrs=["pwdLastSet", "userPrincipalName"])
        if len(res) != 1:
            sys.stderr.write("seed.py: %s not found\n" % sam)
            bad += 1
            continue
        pls = int(res[0]["pwdLastSet"][0])
        days = (now - (pls / 1e7 - EPOCH_DIFF)) / DAY
        if abs(days - age) > 0.1:
            sys.stderr.write("seed.py: %s pwdLastSet is %.2f days old, "
                             "wanted %d\n" % (sam, days, age))
            bad += 1
        has_upn = "userPrincipalName" in res[0]
        if has_upn != (upn is not False):
            sys.stderr.write("seed.py: %s userPrincipalName presence wrong\n"
                             % sam)
            bad += 1
    if bad:
        return 1
    print("seeded %d users, %d groups, %d OUs"
          % (len(USER_TABLE), len(GROUPS), len(OUS)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
