#!/usr/bin/python3
# Fill the benchmark lab with its bulk accounts and groups.
#
# Runs offline against the lab's sam.ldb (Samba must be stopped), in a single
# transaction opened in ldb's batch mode (no per-operation sub-transaction:
# without it every add re-copies the big index lists, objectClass=user and
# the like, and the fill grows quadratically).
#
# Hashing a password costs Samba about 20 ms an account (PBKDF2 for the AES
# keys), so only one template account is given the password for real; every
# bench account is added with copies of its hashes (unicodePwd,
# supplementalCredentials, ntPwdHistory) and an explicit pwdLastSet through
# Samba's bypass-password-hash control (1.3.6.1.4.1.7165.4.3.12). The entries
# are then as large as real ones and their passwords are aged (200 or 400
# days) without moving a clock; the template is deleted again. (The copied
# Kerberos keys carry the template's salt: the bench accounts are not meant
# to log on.)
#
# Usage: seed_bench.py SMB_CONF
#   LAB_USER_PASSWORD (environment) is the template's password.
#
# What it adds below the base DN:
#   OU=Bench10k     10,000 users b10k00001 .. b10k10000
#   OU=Bench20k     20,000 users b20k00001 .. b20k20000
#   OU=BenchToggle   1,000 users btog0001 .. btog1000 (the odd ones with
#                    "password never expires", so -t really changes their
#                    userAccountControl)
#   OU=BenchGroups  "Bench Group" -> Bench Sub 1 .. Bench Sub 4, with
#                    Bench Sub 3 -> Bench Sub 3 Inner and
#                    Bench Sub 4 -> Bench Sub 4 Inner; 2,000 distinct member
#                    accounts in all (every 10th account of OU=Bench20k):
#                    500 in Sub 1, 500 in Sub 2, 250 in Sub 3 and in its
#                    Inner, 250 in Sub 4 and in its Inner.
# Every user has userPrincipalName <sam>@agewarden.lab.
#
# The benchmark's list file names every 5th account of OU=Bench10k
# (b10k00005, b10k00010, ...); scripts/bench writes it.

import os
import sys
import time

from samba import dsdb
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB
import ldb

DAY = 86400
EPOCH_DIFF = 11644473600

UF_NORMAL_ACCOUNT = 0x0200
UF_DONT_EXPIRE_PASSWD = 0x10000
GROUP_TYPE = str(-2147483646)   # global security group
DNS_DOMAIN = "agewarden.lab"

OUS = ["OU=Bench10k", "OU=Bench20k", "OU=BenchToggle", "OU=BenchGroups"]


def accounts():
    """(ou, cn, sam, age in days, userAccountControl) of every bench user."""
    out = []
    for i in range(1, 10001):
        out.append(("OU=Bench10k", "Bench10k %05d" % i, "b10k%05d" % i,
                    400 if i % 2 else 200, UF_NORMAL_ACCOUNT))
    for i in range(1, 20001):
        out.append(("OU=Bench20k", "Bench20k %05d" % i, "b20k%05d" % i,
                    400 if i % 2 else 200, UF_NORMAL_ACCOUNT))
    for i in range(1, 1001):
        uac = UF_NORMAL_ACCOUNT | (UF_DONT_EXPIRE_PASSWD if i % 2 else 0)
        out.append(("OU=BenchToggle", "Bench Toggle %04d" % i, "btog%04d" % i,
                    200, uac))
    return out


def group_layout():
    """{group cn: (member group cns, member user sams)}, parents first."""
    members = ["b20k%05d" % i for i in range(10, 20001, 10)]   # 2,000
    assert len(members) == 2000
    return {
        "Bench Group": (["Bench Sub 1", "Bench Sub 2", "Bench Sub 3",
                         "Bench Sub 4"], []),
        "Bench Sub 1": ([], members[0:500]),
        "Bench Sub 2": ([], members[500:1000]),
        "Bench Sub 3": (["Bench Sub 3 Inner"], members[1000:1250]),
        "Bench Sub 3 Inner": ([], members[1250:1500]),
        "Bench Sub 4": (["Bench Sub 4 Inner"], members[1500:1750]),
        "Bench Sub 4 Inner": ([], members[1750:2000]),
    }


def filetime(days_ago, now):
    return str(int((now - days_ago * DAY + EPOCH_DIFF) * 10000000))


def unicode_pwd(password):
    return ('"%s"' % password).encode("utf-16-le")


HASH_ATTRS = ["unicodePwd", "supplementalCredentials", "ntPwdHistory"]
BYPASS = ["local_oid:%s:0" % dsdb.DSDB_CONTROL_BYPASS_PASSWORD_HASH_OID]


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: seed_bench.py SMB_CONF\n")
        return 2
    password = os.environ["LAB_USER_PASSWORD"]

    lp = LoadParm()
    lp.load(sys.argv[1])
    samdb = SamDB(url=lp.samdb_url(), lp=lp, session_info=system_session(),
                  options=["batch_mode"])
    base = str(samdb.domain_dn())
    users = accounts()
    t0 = time.monotonic()
    now = time.time()

    samdb.transaction_start()
    try:
        for ou in OUS:
            samdb.add({"dn": "%s,%s" % (ou, base),
                       "objectClass": "organizationalUnit"})

        # The template: one real password, hashed once.
        tdn = "CN=Bench Template,OU=BenchGroups,%s" % base
        samdb.add({"dn": tdn, "objectClass": "user",
                   "sAMAccountName": "benchtemplate",
                   "userAccountControl": str(UF_NORMAL_ACCOUNT),
                   "unicodePwd": unicode_pwd(password)})
        res = samdb.search(base=tdn, scope=ldb.SCOPE_BASE, attrs=HASH_ATTRS)
        hashes = {a: [bytes(v) for v in res[0][a]] for a in HASH_ATTRS}
        samdb.delete(tdn)

        user_dns = {}
        for n, (ou, cn, sam, age, uac) in enumerate(users, 1):
            udn = "CN=%s,%s,%s" % (cn, ou, base)
            msg = ldb.Message.from_dict(samdb, {
                "dn": udn,
                "objectClass": "user",
                "sAMAccountName": sam,
                "displayName": cn,
                "userAccountControl": str(uac),
                "userPrincipalName": "%s@%s" % (sam, DNS_DOMAIN),
                "pwdLastSet": filetime(age, now),
            }, ldb.FLAG_MOD_ADD)
            for a, vals in hashes.items():
                msg[a] = ldb.MessageElement(vals, ldb.FLAG_MOD_ADD, a)
            samdb.add(msg, controls=BYPASS)
            user_dns[sam] = udn
            if n % 5000 == 0:
                el = time.monotonic() - t0
                print("seed_bench: %d/%d accounts, %.0fs (%.1f ms each)"
                      % (n, len(users), el, 1000 * el / n), flush=True)

        layout = group_layout()
        group_dns = {}
        for g in layout:
            gdn = "CN=%s,OU=BenchGroups,%s" % (g, base)
            samdb.add({"dn": gdn, "objectClass": "group",
                       "sAMAccountName": g, "groupType": GROUP_TYPE})
            group_dns[g] = gdn
        for g, (subgroups, sams) in layout.items():
            vals = [group_dns[s] for s in subgroups] + [user_dns[s] for s in sams]
            m = ldb.Message()
            m.dn = ldb.Dn(samdb, group_dns[g])
            m["member"] = ldb.MessageElement(vals, ldb.FLAG_MOD_ADD, "member")
            samdb.modify(m)
    except Exception:
        samdb.transaction_cancel()
        raise
    samdb.transaction_commit()

    # Read back: the counts, and the ages and hashes of a sample.
    bad = 0
    now = time.time()
    for ou, want in (("OU=Bench10k", 10000), ("OU=Bench20k", 20000),
                     ("OU=BenchToggle", 1000)):
        res = samdb.search(base="%s,%s" % (ou, base), scope=ldb.SCOPE_SUBTREE,
                           expression="(objectClass=user)",
                           attrs=["pwdLastSet", "userPrincipalName",
                                  "supplementalCredentials"])
        if len(res) != want:
            sys.stderr.write("seed_bench: %s has %d users, wanted %d\n"
                             % (ou, len(res), want))
            bad += 1
        for msg in list(res)[:50]:
            days = (now - (int(msg["pwdLastSet"][0]) / 1e7 - EPOCH_DIFF)) / DAY
            if not 199 < days < 401 or "userPrincipalName" not in msg or \
                    "supplementalCredentials" not in msg:
                sys.stderr.write("seed_bench: %s: age %.1f days or attribute "
                                 "missing\n" % (msg.dn, days))
                bad += 1
    res = samdb.search(base=base, scope=ldb.SCOPE_SUBTREE,
                       expression="(memberOf:1.2.840.113556.1.4.1941:="
                       "%s)" % group_dns["Bench Group"],
                       attrs=["objectClass"])
    members = [m for m in res if b"group" not in
               [bytes(v) for v in m["objectClass"]]]
    if len(members) != 2000:
        sys.stderr.write("seed_bench: Bench Group has %d member users\n"
                         % len(members))
        bad += 1
    if bad:
        return 1
    print("seed_bench: %d accounts, %d groups in %.0fs"
          % (len(users), len(layout), time.monotonic() - t0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
