// What the two connection files have alike, written once over their client
// library's types: the storage a modify's changes need, what the next
// message of a search becomes, and the modify. Each connection class derives
// from ConnectionParts<itself> and supplies the few calls in which libldap
// and Wldap32 differ (listed below); this header includes neither library.
#pragma once

#include <list>
#include <string>
#include <type_traits>
#include <vector>

#include "directory/platform/connection.h"
#include "directory/platform/status.h"

namespace agewarden::ldap {

/// What ldap_result returns for the messages the backend reads: the
/// protocol's tags of SearchResultEntry, SearchResultDone and ModifyResponse
/// (RFC 4511), which both libraries return as they are.
constexpr long kSearchEntryMessage = 0x64;
constexpr long kSearchResultMessage = 0x65;
constexpr long kModifyResultMessage = 0x67;

/// One modification with the storage its LDAPMod (or LDAPModW) points into.
/// Both libraries' LDAPMod carry mod_op, mod_type and mod_vals.modv_bvals;
/// the attribute's name comes in the library's own text (`Name`).
template <typename Mod>
class ModStorage {
 public:
  using Name = std::basic_string<std::remove_pointer_t<decltype(Mod::mod_type)>>;
  using Value = std::remove_pointer_t<std::remove_pointer_t<decltype(Mod::mod_vals.modv_bvals)>>;

  /// `binaryValues` is the library's LDAP_MOD_BVALUES.
  ModStorage(const Modification& change, Name name, int binaryValues) : name_(std::move(name)) {
    values_.reserve(change.values.size());
    for (const std::string& value : change.values) {
      values_.push_back(Value{static_cast<decltype(Value::bv_len)>(value.size()), const_cast<char*>(value.data())});
    }
    for (Value& value : values_) pointers_.push_back(&value);
    pointers_.push_back(nullptr);
    mod.mod_op = static_cast<decltype(mod.mod_op)>(static_cast<int>(change.op) | binaryValues);
    mod.mod_type = name_.data();
    mod.mod_vals.modv_bvals = pointers_.data();
  }
  ModStorage(const ModStorage&) = delete;
  ModStorage& operator=(const ModStorage&) = delete;

  Mod mod{};

 private:
  Name name_;
  std::vector<Value> values_;
  std::vector<Value*> pointers_;
};

/// Receive and Modify over `Library`, the connection class of a platform,
/// which gives them (privately, with ConnectionParts<Library> its friend):
///   Mod, MessagePtr       its LDAPMod and owner of an LDAPMessage;
///   kBinaryValues         its LDAP_MOD_BVALUES;
///   ModName(attribute)    an attribute's name in its text;
///   Wait(msgid, message, wait)  ldap_result for one message of msgid within
///                         the operation time-out, or without waiting: the
///                         message's type, 0 when none came, -1 on failure;
///   LastResultCode()      the result code of the call that failed last;
///   ParseEntry, ParseResult  an entry; a result's code and paging cookie;
///   SendModify(dn, mods, msgid)  sends a modify: the library's result code;
///   Lost(code)            whether the code says the connection is gone;
/// and Abandon from Connection.
template <typename Library>
class ConnectionParts : public Connection {
 public:
  HRESULT Receive(int msgid, SearchMessage& message, bool wait) override {
    message = SearchMessage{};
    typename Library::MessagePtr owned;
    const long type = Self().Wait(msgid, owned, wait);
    if (type == 0 && !wait) return S_FALSE;
    if (type == 0) {
      // Nothing arrived within the time-out: the server is not answering.
      Self().Abandon(msgid);
      return E_ADS_TIMEOUT;
    }
    if (type < 0 || !owned) {
      const int code = Self().LastResultCode();
      return code == kResultSuccess ? E_ADS_SERVER_DOWN : StatusFromLdapResult(code);
    }
    switch (type) {
      case kSearchEntryMessage:
        message.kind = SearchMessage::Kind::Entry;
        return Self().ParseEntry(owned.get(), message.entry);
      case kSearchResultMessage:
      case kModifyResultMessage:
        message.kind = SearchMessage::Kind::Result;
        return Self().ParseResult(owned.get(), message.code, message.cookie);
      default:
        return S_OK;  // continuation references are not rows
    }
  }

  HRESULT Modify(const std::string& dn, const std::vector<Modification>& changes, int& msgid, bool& lost) override {
    using Mod = typename Library::Mod;
    std::list<ModStorage<Mod>> storage;  // stable addresses for the LDAPMod pointers
    std::vector<Mod*> mods;
    for (const Modification& change : changes) {
      mods.push_back(&storage.emplace_back(change, Library::ModName(change.attribute), Library::kBinaryValues).mod);
    }
    mods.push_back(nullptr);
    const int rc = Self().SendModify(dn, mods.data(), msgid);
    lost = Library::Lost(rc);
    return StatusFromLdapResult(rc);
  }

 private:
  Library& Self() { return static_cast<Library&>(*this); }
};

}  // namespace agewarden::ldap
