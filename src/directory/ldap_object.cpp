#include "directory/ldap_object.h"

#include <list>

#include "common/text.h"
#include "directory/ldap_attributes.h"
#include "directory/ldap_status.h"

namespace agewarden::ldap {
namespace {

// One modification with the storage its LDAPMod points into.
struct Modification {
  std::string type;
  std::vector<std::string> values;
  std::vector<berval> bervals;
  std::vector<berval*> pointers;
  LDAPMod mod{};

  Modification(int operation, std::string attribute, std::vector<std::string> texts)
      : type(std::move(attribute)), values(std::move(texts)) {
    bervals.reserve(values.size());
    for (std::string& value : values) {
      bervals.push_back(berval{static_cast<ber_len_t>(value.size()), value.data()});
    }
    for (berval& value : bervals) pointers.push_back(&value);
    pointers.push_back(nullptr);
    mod.mod_op = operation | LDAP_MOD_BVALUES;
    mod.mod_type = type.data();
    mod.mod_bvalues = pointers.data();
  }
  Modification(const Modification&) = delete;
  Modification& operator=(const Modification&) = delete;
};

void SetValues(Entry& entry, const std::string& property, const std::string& text) {
  for (Attribute& attribute : entry.attributes) {
    if (EqualsIgnoreAsciiCase(AttributeType(attribute.name), property)) {
      attribute.values = {text};
      return;
    }
  }
  entry.attributes.push_back(Attribute{property, {text}});
}

}  // namespace

std::string ValueText(const Variant& value) {
  if (const auto* small = std::get_if<int32_t>(&value)) return std::to_string(*small);
  if (const auto* large = std::get_if<int64_t>(&value)) return std::to_string(*large);
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return {};
}

HRESULT GetProperty(const ObjectState& state, const std::string& property, Variant& value) {
  value = std::monostate{};
  if (property.empty()) return E_INVALIDARG;
  for (const auto& [name, recorded] : state.changes) {
    if (EqualsIgnoreAsciiCase(name, property)) {
      value = recorded;
      return S_OK;
    }
  }
  const std::string* text = state.values.First(property);
  if (text == nullptr) return E_ADS_PROPERTY_NOT_FOUND;
  if (IsInteger32Attribute(property)) {
    const auto parsed = ParseInteger32(*text);
    if (!parsed) return E_ADS_CANT_CONVERT_DATATYPE;
    value = *parsed;
    return S_OK;
  }
  if (IsLargeIntegerAttribute(property)) {
    const auto parsed = ParseLargeInteger(*text);
    if (!parsed) return E_ADS_CANT_CONVERT_DATATYPE;
    value = *parsed;
    return S_OK;
  }
  value = *text;
  return S_OK;
}

HRESULT PutProperty(ObjectState& state, const std::string& property, const Variant& value) {
  if (property.empty() || std::holds_alternative<std::monostate>(value)) return E_INVALIDARG;
  for (auto& [name, recorded] : state.changes) {
    if (EqualsIgnoreAsciiCase(name, property)) {
      recorded = value;
      return S_OK;
    }
  }
  state.changes.emplace_back(property, value);
  return S_OK;
}

HRESULT CommitChanges(Session& session, ObjectState& state) {
  if (state.changes.empty()) return S_OK;
  std::list<Modification> modifications;  // stable addresses for the LDAPMod pointers
  for (const auto& [property, value] : state.changes) {
    const std::string text = ValueText(value);
    const Attribute* read = state.values.Find(property);
    if (EqualsIgnoreAsciiCase(property, "pwdLastSet") || read == nullptr || read->values.empty()) {
      modifications.emplace_back(LDAP_MOD_REPLACE, property, std::vector<std::string>{text});
    } else {
      modifications.emplace_back(LDAP_MOD_DELETE, property, read->values);
      modifications.emplace_back(LDAP_MOD_ADD, property, std::vector<std::string>{text});
    }
  }
  std::vector<LDAPMod*> mods;
  for (Modification& modification : modifications) mods.push_back(&modification.mod);
  mods.push_back(nullptr);
  const HRESULT status = session.Modify(state.dn, mods.data());
  if (Failed(status)) return status;
  for (const auto& [property, value] : state.changes) SetValues(state.values, property, ValueText(value));
  state.changes.clear();
  return S_OK;
}

LdapObject::LdapObject(std::shared_ptr<Session> session, std::shared_ptr<ObjectState> state)
    : session_(std::move(session)), state_(std::move(state)) {}

HRESULT LdapObject::GetAdsPath(std::string& path) {
  path = state_->path;
  return S_OK;
}

HRESULT LdapObject::Get(const std::string& property, Variant& value) { return GetProperty(*state_, property, value); }

HRESULT LdapObject::Put(const std::string& property, const Variant& value) {
  return PutProperty(*state_, property, value);
}

HRESULT LdapObject::SetInfo() { return CommitChanges(*session_, *state_); }

}  // namespace agewarden::ldap
