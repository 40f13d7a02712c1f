// How the results of LDAP operations become the statuses of the directory
// interface. Pure: the numbers are the ones RFC 4511 gives for the server's
// result codes and the ones libldap uses for its own (negative) errors.
#pragma once

#include "directory/hresult.h"

namespace agewarden::ldap {

/// Statuses this backend gives beyond the shared list in hresult.h. They are
/// the values ADSI gives for the same conditions.
constexpr HRESULT E_ADS_NO_ATTRIBUTE_OR_VALUE = MakeStatus(0x8007200A);
constexpr HRESULT E_ADS_ATTRIBUTE_OR_VALUE_EXISTS = MakeStatus(0x8007200D);
constexpr HRESULT E_ADS_INVALID_ATTRIBUTE_SYNTAX = MakeStatus(0x8007200B);
constexpr HRESULT E_ADS_ATTRIBUTE_TYPE_UNDEFINED = MakeStatus(0x8007200C);
constexpr HRESULT E_ADS_BUSY = MakeStatus(0x8007200E);
constexpr HRESULT E_ADS_UNAVAILABLE = MakeStatus(0x8007200F);
constexpr HRESULT E_ADS_OBJECT_CLASS_VIOLATION = MakeStatus(0x80072014);
constexpr HRESULT E_ADS_OPERATIONS_ERROR = MakeStatus(0x80072020);
constexpr HRESULT E_ADS_PROTOCOL_ERROR = MakeStatus(0x80072021);
constexpr HRESULT E_ADS_TIME_LIMIT = MakeStatus(0x80072022);
constexpr HRESULT E_ADS_ADMIN_LIMIT = MakeStatus(0x80072024);
constexpr HRESULT E_ADS_AUTH_METHOD_NOT_SUPPORTED = MakeStatus(0x80072027);
constexpr HRESULT E_ADS_INAPPROPRIATE_AUTH = MakeStatus(0x80072029);
constexpr HRESULT E_ADS_AUTH_UNKNOWN = MakeStatus(0x8007202A);
constexpr HRESULT E_ADS_REFERRAL = MakeStatus(0x8007202B);
constexpr HRESULT E_ADS_UNAVAILABLE_CRITICAL_EXTENSION = MakeStatus(0x8007202C);
constexpr HRESULT E_ADS_CONFIDENTIALITY_REQUIRED = MakeStatus(0x8007202D);
constexpr HRESULT E_ADS_INAPPROPRIATE_MATCHING = MakeStatus(0x8007202E);
constexpr HRESULT E_ADS_ALREADY_EXISTS = MakeStatus(0x80071392);
constexpr HRESULT E_ADS_LOCAL_ERROR = MakeStatus(0x8007203B);
constexpr HRESULT E_ADS_ENCODING_ERROR = MakeStatus(0x8007203C);
constexpr HRESULT E_ADS_DECODING_ERROR = MakeStatus(0x8007203D);
/// A column the current row does not have.
constexpr HRESULT E_ADS_COLUMN_NOT_SET = MakeStatus(0x80005010);
/// A value that is not of the type its attribute must have.
constexpr HRESULT E_ADS_CANT_CONVERT_DATATYPE = MakeStatus(0x8000500C);

/// The status for an LDAP result code or a client library's own error
/// (libldap's negative codes, Wldap32's 81 to 91). Success (0) is S_OK; a
/// code with no closer status is E_FAIL.
HRESULT StatusFromLdapResult(int code);

}  // namespace agewarden::ldap
