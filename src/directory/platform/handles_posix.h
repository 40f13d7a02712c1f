// Owners for what libldap hands out. Each is a move-only std::unique_ptr
// whose deleter is the matching libldap release function, so a resource is
// freed exactly once on every path, including early returns.
#pragma once

#include <ldap.h>

#include <memory>

namespace agewarden::ldap {

struct LdapDeleter {
  void operator()(LDAP* ld) const { ldap_unbind_ext(ld, nullptr, nullptr); }
};
/// A session handle; dropping it unbinds and closes the connection.
using LdapHandle = std::unique_ptr<LDAP, LdapDeleter>;

struct MessageDeleter {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
/// One message (or chain) from ldap_result.
using MessagePtr = std::unique_ptr<LDAPMessage, MessageDeleter>;

struct BerDeleter {
  // The BerElement of an attribute walk does not own its buffer.
  void operator()(BerElement* ber) const { ber_free(ber, 0); }
};
using BerPtr = std::unique_ptr<BerElement, BerDeleter>;

struct EncoderDeleter {
  // A BerElement we encode into owns its buffer.
  void operator()(BerElement* ber) const { ber_free(ber, 1); }
};
/// A BerElement from ber_alloc_t, for encoding a control's value.
using EncoderPtr = std::unique_ptr<BerElement, EncoderDeleter>;

struct DnDeleter {
  void operator()(LDAPRDN* dn) const { ldap_dnfree(dn); }
};
/// A DN split by ldap_str2dn or ldap_bv2dn.
using DnPtr = std::unique_ptr<LDAPRDN, DnDeleter>;

struct MemoryDeleter {
  void operator()(void* memory) const { ldap_memfree(memory); }
};
/// A string (DN, attribute name, error text) or block that libldap allocated.
using LdapString = std::unique_ptr<char, MemoryDeleter>;
template <typename T>
using LdapMemory = std::unique_ptr<T, MemoryDeleter>;

struct StringArrayDeleter {
  void operator()(char** strings) const { ldap_memvfree(reinterpret_cast<void**>(strings)); }
};
/// A NULL-terminated array of libldap strings (referral URLs).
using StringArrayPtr = std::unique_ptr<char*, StringArrayDeleter>;

struct ControlDeleter {
  void operator()(LDAPControl* control) const { ldap_control_free(control); }
};
using ControlPtr = std::unique_ptr<LDAPControl, ControlDeleter>;

struct ControlsDeleter {
  void operator()(LDAPControl** controls) const { ldap_controls_free(controls); }
};
/// A NULL-terminated array of controls, as ldap_parse_result gives them.
using ControlsPtr = std::unique_ptr<LDAPControl*, ControlsDeleter>;

/// The contents of a struct berval that libldap filled in (a paged-results
/// cookie): the value's buffer is freed, not the struct.
class OwnedBerval {
 public:
  OwnedBerval() = default;
  OwnedBerval(const OwnedBerval&) = delete;
  OwnedBerval& operator=(const OwnedBerval&) = delete;
  OwnedBerval(OwnedBerval&& other) noexcept : value_(other.value_) { other.value_ = {0, nullptr}; }
  OwnedBerval& operator=(OwnedBerval&& other) noexcept {
    if (this != &other) {
      Reset();
      value_ = other.value_;
      other.value_ = {0, nullptr};
    }
    return *this;
  }
  ~OwnedBerval() { Reset(); }

  /// For a libldap call to fill in; whatever it held is freed first.
  berval* Out() {
    Reset();
    return &value_;
  }
  const berval& Get() const { return value_; }
  void Reset() {
    if (value_.bv_val != nullptr) ldap_memfree(value_.bv_val);
    value_ = {0, nullptr};
  }

 private:
  berval value_{0, nullptr};
};

}  // namespace agewarden::ldap
