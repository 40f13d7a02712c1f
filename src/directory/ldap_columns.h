// The columns of a search row as the caller sees them, made from the entry
// the server returned. Pure, so it can be tested and fuzzed on its own.
#pragma once

#include <string>
#include <vector>

#include "directory/directory.h"
#include "directory/ldap_entry.h"

namespace agewarden::ldap {

/// One column of a row as the caller will see it.
struct ReportedColumn {
  std::string name;               ///< as the caller asked for it
  const Attribute* attribute;     ///< the values as returned (null: synthesized)
  std::vector<std::string> made;  ///< values of a synthesized column
};

/// The columns of a row: the returned attributes, in the order returned,
/// that the caller asked for (names matched ignoring case, a "member;range=..."
/// matching "member"), under the caller's spelling; every returned attribute
/// when the caller asked for none. ADsPath, and distinguishedName when the
/// server did not return it, are made from the entry's DN.
std::vector<ReportedColumn> ReportColumns(const Entry& entry, const std::vector<std::string>& requested);

/// The values of a column: large integers as int64_t, everything else as
/// text. A large-integer value that is not decimal text fails the column.
HRESULT ColumnValues(const ReportedColumn& column, Column& out);

}  // namespace agewarden::ldap
