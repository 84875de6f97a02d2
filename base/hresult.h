// 32-bit results of the scan kernel operations: 0 success, negative failure.
#ifndef BASE_HRESULT_H_
#define BASE_HRESULT_H_

#include <cstdint>

namespace zul {

using HRESULT = int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);

// The kernel's own failures (interface facility, codes 0x0200 and up).
inline constexpr HRESULT ZUL_E_BASES_NOT_LOADED = static_cast<HRESULT>(0x80040201);
inline constexpr HRESULT ZUL_E_ENGINE = static_cast<HRESULT>(0x80040202);
inline constexpr HRESULT ZUL_E_REMOTE_UNAVAILABLE = static_cast<HRESULT>(0x80040203);
inline constexpr HRESULT ZUL_E_REMOTE_PROTOCOL = static_cast<HRESULT>(0x80040204);
inline constexpr HRESULT ZUL_E_REMOTE_TIMEOUT = static_cast<HRESULT>(0x80040205);
inline constexpr HRESULT ZUL_E_BAD_ADDRESS = static_cast<HRESULT>(0x80040206);
// The kernel's temporary folder is missing or takes no file.
inline constexpr HRESULT ZUL_E_TEMP_FOLDER = static_cast<HRESULT>(0x80040207);
// The kernel did not detect its own test object.
inline constexpr HRESULT ZUL_E_SELF_TEST = static_cast<HRESULT>(0x80040208);
// The bases folder holds a file nothing vouches for (scanning/bases_proof.h).
inline constexpr HRESULT ZUL_E_BASES_NOT_PROVEN = static_cast<HRESULT>(0x80040209);

// A Windows error code in COM form.
constexpr HRESULT HresultFromWin32(uint32_t code) {
  return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFF) | 0x80070000u);
}
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_READ_FAULT = 30;

}  // namespace zul

#endif  // BASE_HRESULT_H_
