#include "directory/ldap_status.h"

#include <ldap.h>

namespace agewarden::ldap {

HRESULT StatusFromLdapResult(int code) {
  switch (code) {
    case LDAP_SUCCESS: return S_OK;
    case LDAP_OPERATIONS_ERROR: return E_ADS_OPERATIONS_ERROR;
    case LDAP_PROTOCOL_ERROR: return E_ADS_PROTOCOL_ERROR;
    case LDAP_TIMELIMIT_EXCEEDED: return E_ADS_TIME_LIMIT;
    case LDAP_SIZELIMIT_EXCEEDED: return E_ADS_SIZE_LIMIT;
    case LDAP_AUTH_METHOD_NOT_SUPPORTED: return E_ADS_AUTH_METHOD_NOT_SUPPORTED;
    case LDAP_STRONG_AUTH_REQUIRED: return E_ADS_STRONG_AUTH_REQUIRED;
    case LDAP_REFERRAL: return E_ADS_REFERRAL;
    case LDAP_ADMINLIMIT_EXCEEDED: return E_ADS_ADMIN_LIMIT;
    case LDAP_UNAVAILABLE_CRITICAL_EXTENSION: return E_ADS_UNAVAILABLE_CRITICAL_EXTENSION;
    case LDAP_CONFIDENTIALITY_REQUIRED: return E_ADS_CONFIDENTIALITY_REQUIRED;
    case LDAP_NO_SUCH_ATTRIBUTE: return E_ADS_NO_ATTRIBUTE_OR_VALUE;
    case LDAP_UNDEFINED_TYPE: return E_ADS_ATTRIBUTE_TYPE_UNDEFINED;
    case LDAP_INAPPROPRIATE_MATCHING: return E_ADS_INAPPROPRIATE_MATCHING;
    case LDAP_CONSTRAINT_VIOLATION: return E_ADS_CONSTRAINT_VIOLATION;
    case LDAP_TYPE_OR_VALUE_EXISTS: return E_ADS_ATTRIBUTE_OR_VALUE_EXISTS;
    case LDAP_INVALID_SYNTAX: return E_ADS_INVALID_ATTRIBUTE_SYNTAX;
    case LDAP_NO_SUCH_OBJECT: return E_ADS_NO_SUCH_OBJECT;
    case LDAP_INVALID_DN_SYNTAX: return E_ADS_INVALID_DN_SYNTAX;
    case LDAP_INAPPROPRIATE_AUTH: return E_ADS_INAPPROPRIATE_AUTH;
    case LDAP_INVALID_CREDENTIALS: return E_ADS_INVALID_CREDENTIALS;
    case LDAP_INSUFFICIENT_ACCESS: return E_ACCESSDENIED;
    case LDAP_BUSY: return E_ADS_BUSY;
    case LDAP_UNAVAILABLE: return E_ADS_UNAVAILABLE;
    case LDAP_UNWILLING_TO_PERFORM: return E_ADS_UNWILLING_TO_PERFORM;
    case LDAP_OBJECT_CLASS_VIOLATION: return E_ADS_OBJECT_CLASS_VIOLATION;
    case LDAP_ALREADY_EXISTS: return E_ADS_ALREADY_EXISTS;

    // libldap's own errors, and the same conditions as some servers number
    // them (81-91 in the historic C API).
    case LDAP_SERVER_DOWN:
    case 81:
    case LDAP_CONNECT_ERROR:
    case 91:
      return E_ADS_SERVER_DOWN;
    case LDAP_TIMEOUT:
    case 85:
      return E_ADS_TIMEOUT;
    case LDAP_FILTER_ERROR:
    case 87:
      return E_ADS_INVALID_FILTER;
    case LDAP_LOCAL_ERROR:
    case 82:
      return E_ADS_LOCAL_ERROR;
    case LDAP_ENCODING_ERROR:
    case 83:
      return E_ADS_ENCODING_ERROR;
    case LDAP_DECODING_ERROR:
    case 84:
      return E_ADS_DECODING_ERROR;
    case LDAP_AUTH_UNKNOWN:
    case 86:
      return E_ADS_AUTH_UNKNOWN;
    case LDAP_PARAM_ERROR:
    case 89:
      return E_INVALIDARG;
    case LDAP_NO_MEMORY:
    case 90:
      return E_OUTOFMEMORY;
    default: return E_FAIL;
  }
}

}  // namespace agewarden::ldap
