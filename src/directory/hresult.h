// Status codes of the directory layer. They keep the values that ADSI gives,
// so that messages which print a status in hex show what an administrator
// would look up: a negative status is a failure.
#pragma once

#include <cstdint>

namespace agewarden {

using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
/// Success with nothing to give yet (an answer that has not come).
constexpr HRESULT S_FALSE = 1;
/// End marker of a search: no (further) row.
constexpr HRESULT S_ADS_NOMORE_ROWS = 0x5012;

constexpr HRESULT MakeStatus(uint32_t bits) { return static_cast<HRESULT>(bits); }

constexpr HRESULT E_NOINTERFACE = MakeStatus(0x80004002);
constexpr HRESULT E_POINTER = MakeStatus(0x80004003);
constexpr HRESULT E_FAIL = MakeStatus(0x80004005);
constexpr HRESULT E_ACCESSDENIED = MakeStatus(0x80070005);
constexpr HRESULT E_INVALIDARG = MakeStatus(0x80070057);
constexpr HRESULT E_OUTOFMEMORY = MakeStatus(0x8007000E);
/// The directory did not recognise the search filter.
constexpr HRESULT E_ADS_INVALID_FILTER = MakeStatus(0x8007203E);
constexpr HRESULT E_ADS_NO_SUCH_OBJECT = MakeStatus(0x80072030);
constexpr HRESULT E_ADS_SERVER_DOWN = MakeStatus(0x8007203A);
constexpr HRESULT E_ADS_STRONG_AUTH_REQUIRED = MakeStatus(0x80072028);
constexpr HRESULT E_ADS_INVALID_CREDENTIALS = MakeStatus(0x8007052E);
constexpr HRESULT E_ADS_CONSTRAINT_VIOLATION = MakeStatus(0x8007202F);
constexpr HRESULT E_ADS_UNWILLING_TO_PERFORM = MakeStatus(0x80072035);
constexpr HRESULT E_ADS_SIZE_LIMIT = MakeStatus(0x80072023);
constexpr HRESULT E_ADS_INVALID_DN_SYNTAX = MakeStatus(0x80072032);
constexpr HRESULT E_ADS_BAD_PATHNAME = MakeStatus(0x80005000);
constexpr HRESULT E_ADS_PROPERTY_NOT_FOUND = MakeStatus(0x8000500D);
constexpr HRESULT E_ADS_TIMEOUT = MakeStatus(0x800705B4);

constexpr bool Failed(HRESULT status) { return status < 0; }
constexpr bool Succeeded(HRESULT status) { return status >= 0; }

}  // namespace agewarden
