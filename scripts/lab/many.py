#!/usr/bin/python3
# Adds OU=Many with COUNT user accounts to the lab directory, fast, for the
# tests that need a large result (a DC stopped in the middle of a report or of
# a forced change).
#
# The accounts sit three levels down, in OUs with 60-character names, and
# their own names are 60 characters long, so that each entry of a report is
# about 750 bytes on the wire: 10,000 of them are more than the kernel's
# socket buffers hold (tcp_wmem's 4 MB ceiling), and a DC that dies while it
# sends such a result leaves most of it unsent.
#
# Runs offline (Samba must not be running) against a seeded lab:
#   1. the first account is added the normal way, through Samba's module
#      stack (objectGUID, objectSid, security descriptor, replication
#      metadata, pwdLastSet all made by Samba);
#   2. the partition's attribute indexes are switched off, COUNT-1 copies of
#      its stored record are written straight into the partition file, each
#      with its own DN, names, objectGUID and objectSid, and the index list
#      is put back;
#   3. the whole database is re-indexed through the module stack (what
#      `samba-tool dbcheck --reindex` does), so every index key is made with
#      Samba's own attribute syntaxes.
# Adding the accounts one by one through the module stack costs a few
# milliseconds each and grows with the size of the shared index lists (about
# 35 s for 10,000 in separate transactions, over 2 minutes in one); this way
# takes about 5 s, and `samba-tool dbcheck --cross-ncs` finds no error after it.
#
# The first account is made with libfaketime's clock AGE_DAYS days back (the
# caller preloads libfaketime with FAKETIME_NO_CACHE=1 and FAKETIME set), so
# every account's pwdLastSet is that old. userAccountControl is 0x10200
# (normal account, password never expires): a forced change visibly clears
# the flag as well as zeroing pwdLastSet.
#
# Usage: many.py SMB_CONF COUNT
# Exit status 3 (and nothing done) when OU=Many exists already.
# The accounts: CN=Many NNNNN <padding>,<CHAIN>,OU=Many,<base>, sAMAccountName
# manyNNNNN, userPrincipalName manyNNNNN@<dns domain>, NNNNN from 00001 to
# COUNT.

import sys
import uuid

import ldb
from samba.auth import system_session
from samba.dcerpc import security
from samba.ndr import ndr_pack, ndr_unpack
from samba.param import LoadParm
from samba.samdb import SamDB

UF_NORMAL_ACCOUNT = 0x0200
UF_DONT_EXPIRE_PASSWD = 0x10000
# RIDs of the copies: far above anything the DC's RID pool hands out in a
# lab's life, so no SID is ever given twice.
FIRST_RID = 1000000

# Three levels of 60-character OU names below OU=Many, outermost last.
CHAIN = ",".join("OU=" + ("Level %d of long names " % n).ljust(60, ".") for n in (3, 2, 1))


def common_name(i):
    return ("Many %05d " % i).ljust(60, ".")


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: many.py SMB_CONF COUNT\n")
        return 2
    smbconf, count = sys.argv[1], int(sys.argv[2])

    lp = LoadParm()
    lp.load(smbconf)
    # Nothing here needs to survive a crash: the lab is thrown away then.
    lp.set("ldb:nosync", "true")
    samdb = SamDB(url=lp.samdb_url(), lp=lp, session_info=system_session())
    base = str(samdb.domain_dn())
    dnsdomain = ".".join(str(c.split("=", 1)[1]) for c in base.split(",")).lower()
    ou = "OU=Many,%s" % base

    if samdb.search(base=base, scope=ldb.SCOPE_ONELEVEL, expression="(ou=Many)", attrs=["dn"]):
        print("%s exists already" % ou)
        return 3

    # 1. The OUs and the first account, through the module stack.
    parent = "%s,%s" % (CHAIN, ou)
    template_dn = "CN=%s,%s" % (common_name(1), parent)
    samdb.transaction_start()
    try:
        samdb.add({"dn": ou, "objectClass": "organizationalUnit"})
        levels = CHAIN.split(",")
        for n in range(len(levels) - 1, -1, -1):
            samdb.add({"dn": "%s,%s" % (",".join(levels[n:]), ou), "objectClass": "organizationalUnit"})
        samdb.add({"dn": template_dn, "objectClass": "user",
                   "sAMAccountName": "many00001",
                   "userPrincipalName": "many00001@%s" % dnsdomain,
                   "userAccountControl": str(UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD),
                   "pwdLastSet": "-1"})
    except Exception:
        samdb.transaction_cancel()
        raise
    samdb.transaction_commit()
    partition_url = None
    for p in samdb.search(base="@PARTITION", scope=ldb.SCOPE_BASE, attrs=["partition"])[0]["partition"]:
        dn, path = str(p).split(":", 1)
        if dn.lower() == base.lower():
            partition_url = "tdb://%s/%s" % (lp.get("private dir"), path)
    if partition_url is None:
        raise RuntimeError("no partition file for %s" % base)
    del samdb

    # 2. The copies, straight into the partition file with its attribute
    # indexes off (each add would otherwise rewrite every shared index list).
    raw = ldb.Ldb(partition_url, options=["modules:"])
    template = raw.search(base=template_dn, scope=ldb.SCOPE_BASE)[0]
    sid = ndr_unpack(security.dom_sid, template["objectSid"][0])
    domain_sid = str(sid).rsplit("-", 1)[0]
    indexlist = raw.search(base="@INDEXLIST", scope=ldb.SCOPE_BASE)[0]

    def set_index(attrs, one):
        m = ldb.Message()
        m.dn = ldb.Dn(raw, "@INDEXLIST")
        m["@IDXATTR"] = ldb.MessageElement(attrs, ldb.FLAG_MOD_REPLACE, "@IDXATTR")
        m["@IDXONE"] = ldb.MessageElement(one, ldb.FLAG_MOD_REPLACE, "@IDXONE")
        raw.modify(m)

    saved_attrs = [bytes(v) for v in indexlist["@IDXATTR"]]
    saved_one = [bytes(v) for v in indexlist["@IDXONE"]]
    raw.transaction_start()
    try:
        set_index([b"agewardenNoSuchAttribute"], [])
        for i in range(2, count + 1):
            cn = common_name(i)
            sam = "many%05d" % i
            dn = "CN=%s,%s" % (cn, parent)
            m = ldb.Message()
            m.dn = ldb.Dn(raw, dn)
            for name in template.keys():
                if name == "dn":
                    continue
                m[name] = ldb.MessageElement([bytes(v) for v in template[name]], ldb.FLAG_MOD_ADD, name)
            m["cn"] = ldb.MessageElement([cn.encode()], ldb.FLAG_MOD_ADD, "cn")
            m["name"] = ldb.MessageElement([cn.encode()], ldb.FLAG_MOD_ADD, "name")
            m["distinguishedName"] = ldb.MessageElement([dn.encode()], ldb.FLAG_MOD_ADD, "distinguishedName")
            m["sAMAccountName"] = ldb.MessageElement([sam.encode()], ldb.FLAG_MOD_ADD, "sAMAccountName")
            m["userPrincipalName"] = ldb.MessageElement([("%s@%s" % (sam, dnsdomain)).encode()],
                                                        ldb.FLAG_MOD_ADD, "userPrincipalName")
            m["objectGUID"] = ldb.MessageElement([uuid.uuid4().bytes_le], ldb.FLAG_MOD_ADD, "objectGUID")
            copy_sid = security.dom_sid("%s-%d" % (domain_sid, FIRST_RID + i))
            m["objectSid"] = ldb.MessageElement([ndr_pack(copy_sid)], ldb.FLAG_MOD_ADD, "objectSid")
            raw.add(m)
        set_index(saved_attrs, saved_one)
    except Exception:
        raw.transaction_cancel()
        raise
    raw.transaction_commit()
    del raw

    # 3. Every index rebuilt with Samba's syntaxes.
    samdb = SamDB(url=lp.samdb_url(), lp=lp, session_info=system_session())
    m = ldb.Message()
    m.dn = ldb.Dn(samdb, "@ATTRIBUTES")
    m["add"] = ldb.MessageElement("NONE", ldb.FLAG_MOD_ADD, "force_reindex")
    m["delete"] = ldb.MessageElement("NONE", ldb.FLAG_MOD_DELETE, "force_reindex")
    samdb.modify(m)

    found = samdb.search(base=ou, scope=ldb.SCOPE_SUBTREE,
                         expression="(&(objectClass=user)(objectCategory=person))", attrs=["dn"])
    if len(found) != count:
        sys.stderr.write("many.py: %d accounts found in %s, wanted %d\n" % (len(found), ou, count))
        return 1
    print("added %d accounts to %s" % (count, ou))
    return 0


if __name__ == "__main__":
    sys.exit(main())
