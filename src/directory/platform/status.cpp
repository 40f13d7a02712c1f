#include "directory/platform/status.h"

namespace agewarden::ldap {

HRESULT StatusFromLdapResult(int code) {
  switch (code) {
    case 0: /* SUCCESS */ return S_OK;
    case 1: /* OPERATIONS_ERROR */ return E_ADS_OPERATIONS_ERROR;
    case 2: /* PROTOCOL_ERROR */ return E_ADS_PROTOCOL_ERROR;
    case 3: /* TIMELIMIT_EXCEEDED */ return E_ADS_TIME_LIMIT;
    case 4: /* SIZELIMIT_EXCEEDED */ return E_ADS_SIZE_LIMIT;
    case 7: /* AUTH_METHOD_NOT_SUPPORTED */ return E_ADS_AUTH_METHOD_NOT_SUPPORTED;
    case 8: /* STRONG_AUTH_REQUIRED */ return E_ADS_STRONG_AUTH_REQUIRED;
    case 10: /* REFERRAL */ return E_ADS_REFERRAL;
    case 11: /* ADMINLIMIT_EXCEEDED */ return E_ADS_ADMIN_LIMIT;
    case 12: /* UNAVAILABLE_CRITICAL_EXTENSION */ return E_ADS_UNAVAILABLE_CRITICAL_EXTENSION;
    case 13: /* CONFIDENTIALITY_REQUIRED */ return E_ADS_CONFIDENTIALITY_REQUIRED;
    case 16: /* NO_SUCH_ATTRIBUTE */ return E_ADS_NO_ATTRIBUTE_OR_VALUE;
    case 17: /* UNDEFINED_TYPE */ return E_ADS_ATTRIBUTE_TYPE_UNDEFINED;
    case 18: /* INAPPROPRIATE_MATCHING */ return E_ADS_INAPPROPRIATE_MATCHING;
    case 19: /* CONSTRAINT_VIOLATION */ return E_ADS_CONSTRAINT_VIOLATION;
    case 20: /* TYPE_OR_VALUE_EXISTS */ return E_ADS_ATTRIBUTE_OR_VALUE_EXISTS;
    case 21: /* INVALID_SYNTAX */ return E_ADS_INVALID_ATTRIBUTE_SYNTAX;
    case 32: /* NO_SUCH_OBJECT */ return E_ADS_NO_SUCH_OBJECT;
    case 34: /* INVALID_DN_SYNTAX */ return E_ADS_INVALID_DN_SYNTAX;
    case 48: /* INAPPROPRIATE_AUTH */ return E_ADS_INAPPROPRIATE_AUTH;
    case 49: /* INVALID_CREDENTIALS */ return E_ADS_INVALID_CREDENTIALS;
    case 50: /* INSUFFICIENT_ACCESS */ return E_ACCESSDENIED;
    case 51: /* BUSY */ return E_ADS_BUSY;
    case 52: /* UNAVAILABLE */ return E_ADS_UNAVAILABLE;
    case 53: /* UNWILLING_TO_PERFORM */ return E_ADS_UNWILLING_TO_PERFORM;
    case 65: /* OBJECT_CLASS_VIOLATION */ return E_ADS_OBJECT_CLASS_VIOLATION;
    case 68: /* ALREADY_EXISTS */ return E_ADS_ALREADY_EXISTS;

    // The client library's own errors: libldap numbers them below zero,
    // Wldap32 (and some servers) 81 to 91, as the historic C API did.
    case -1: /* SERVER_DOWN */
    case 81:
    case -11: /* CONNECT_ERROR */
    case 91:
      return E_ADS_SERVER_DOWN;
    case -5: /* TIMEOUT */
    case 85:
      return E_ADS_TIMEOUT;
    case -7: /* FILTER_ERROR */
    case 87:
      return E_ADS_INVALID_FILTER;
    case -2: /* LOCAL_ERROR */
    case 82:
      return E_ADS_LOCAL_ERROR;
    case -3: /* ENCODING_ERROR */
    case 83:
      return E_ADS_ENCODING_ERROR;
    case -4: /* DECODING_ERROR */
    case 84:
      return E_ADS_DECODING_ERROR;
    case -6: /* AUTH_UNKNOWN */
    case 86:
      return E_ADS_AUTH_UNKNOWN;
    case -9: /* PARAM_ERROR */
    case 89:
      return E_INVALIDARG;
    case -10: /* NO_MEMORY */
    case 90:
      return E_OUTOFMEMORY;
    default: return E_FAIL;
  }
}

}  // namespace agewarden::ldap
