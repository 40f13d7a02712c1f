#include "directory/platform/entry.h"

#include "common/text.h"

namespace agewarden::ldap {

std::string_view AttributeType(std::string_view description) {
  return description.substr(0, description.find(';'));
}

const Attribute* Entry::Find(std::string_view type) const {
  for (const Attribute& attribute : attributes) {
    if (EqualsIgnoreAsciiCase(AttributeType(attribute.name), type)) return &attribute;
  }
  return nullptr;
}

const std::string* Entry::First(std::string_view type) const {
  const Attribute* attribute = Find(type);
  if (attribute == nullptr || attribute->values.empty()) return nullptr;
  return &attribute->values.front();
}

bool Entry::HasClass(std::string_view objectClass) const {
  const Attribute* classes = Find("objectClass");
  if (classes == nullptr) return false;
  for (const std::string& value : classes->values) {
    if (EqualsIgnoreAsciiCase(value, objectClass)) return true;
  }
  return false;
}

}  // namespace agewarden::ldap
