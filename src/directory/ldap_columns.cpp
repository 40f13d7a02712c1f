#include "directory/ldap_columns.h"

#include "common/text.h"
#include "directory/ldap_attributes.h"
#include "directory/ldap_status.h"

namespace agewarden::ldap {
namespace {

constexpr std::string_view kAdsPath = "ADsPath";
constexpr std::string_view kDistinguishedName = "distinguishedName";

}  // namespace

std::vector<ReportedColumn> ReportColumns(const Entry& entry, const std::vector<std::string>& requested) {
  std::vector<ReportedColumn> columns;
  auto alreadyReported = [&](std::string_view name) {
    for (const ReportedColumn& column : columns) {
      if (EqualsIgnoreAsciiCase(column.name, name)) return true;
    }
    return false;
  };
  for (const Attribute& attribute : entry.attributes) {
    if (requested.empty()) {
      columns.push_back(ReportedColumn{attribute.name, &attribute, {}});
      continue;
    }
    for (const std::string& name : requested) {
      if (EqualsIgnoreAsciiCase(name, attribute.name) || EqualsIgnoreAsciiCase(name, AttributeType(attribute.name))) {
        if (!alreadyReported(name)) columns.push_back(ReportedColumn{name, &attribute, {}});
        break;
      }
    }
  }
  for (const std::string& name : requested) {
    if (alreadyReported(name)) continue;
    if (EqualsIgnoreAsciiCase(name, kAdsPath)) {
      columns.push_back(ReportedColumn{name, nullptr, {"LDAP://" + entry.dn}});
    } else if (EqualsIgnoreAsciiCase(name, kDistinguishedName)) {
      columns.push_back(ReportedColumn{name, nullptr, {entry.dn}});
    }
  }
  return columns;
}

HRESULT ColumnValues(const ReportedColumn& column, Column& out) {
  out = Column{};
  out.name = column.name;
  const std::vector<std::string>& values = column.attribute != nullptr ? column.attribute->values : column.made;
  const bool large = column.attribute != nullptr && IsLargeIntegerAttribute(AttributeType(column.attribute->name));
  for (const std::string& value : values) {
    if (large) {
      const auto parsed = ParseLargeInteger(value);
      if (!parsed) {
        out.values.clear();
        return E_ADS_CANT_CONVERT_DATATYPE;
      }
      out.values.emplace_back(*parsed);
    } else {
      out.values.emplace_back(value);
    }
  }
  return S_OK;
}

}  // namespace agewarden::ldap
