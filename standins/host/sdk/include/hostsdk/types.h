// Basic types of the host's add-on interface: error codes, four-character
// selector codes and the opaque host context.
#pragma once

#include <cstdint>

using GSErrCode = std::int32_t;
using GSType = std::uint32_t;
using GSFlags = std::uint32_t;
using Int32 = std::int32_t;
using UInt32 = std::uint32_t;
using Int16 = std::int16_t;
using UInt16 = std::uint16_t;
using UInt64 = std::uint64_t;
using Int64 = std::int64_t;

// Four-character code as the host spells selectors: 'PROJ' is P<<24|R<<16|O<<8|J.
constexpr GSType FourCC(const char (&code)[5]) {
  return (GSType(std::uint8_t(code[0])) << 24) | (GSType(std::uint8_t(code[1])) << 16) |
         (GSType(std::uint8_t(code[2])) << 8) | GSType(std::uint8_t(code[3]));
}

// Every host call returns one of these; 0 is success.
inline constexpr GSErrCode NoError = 0;
inline constexpr GSErrCode APIERR_GENERAL = GSErrCode(0x81060001);  // also "called before the table arrived"
inline constexpr GSErrCode APIERR_MEMFULL = GSErrCode(0x81060002);
inline constexpr GSErrCode APIERR_CANCEL = GSErrCode(0x81060003);
inline constexpr GSErrCode APIERR_BADID = GSErrCode(0x81060004);
inline constexpr GSErrCode APIERR_BADINDEX = GSErrCode(0x81060005);
inline constexpr GSErrCode APIERR_BADNAME = GSErrCode(0x81060006);
inline constexpr GSErrCode APIERR_BADPARS = GSErrCode(0x81060007);
inline constexpr GSErrCode APIERR_NOPLAN = GSErrCode(0x81060008);     // no project open
inline constexpr GSErrCode APIERR_BADWINDOW = GSErrCode(0x81060009);  // wrong current window
inline constexpr GSErrCode APIERR_REFUSEDCMD = GSErrCode(0x8106000A);
inline constexpr GSErrCode APIERR_NOTMINE = GSErrCode(0x8106000B);
inline constexpr GSErrCode APIERR_BADSELECTOR = GSErrCode(0x8106000C);  // selector unknown to a dispatcher
inline constexpr GSErrCode APIERR_IOERROR = GSErrCode(0x8106000D);
inline constexpr GSErrCode APIERR_DELETED = GSErrCode(0x8106000E);          // the attribute at that index was deleted
inline constexpr GSErrCode APIERR_BADEXTENSION = GSErrCode(0x81060068);     // file type without extension
inline constexpr GSErrCode APIERR_MISSINGFUNCTION = GSErrCode(0x81060387);  // empty table entry

// What the host passes to Initialize and gets back as the first argument of
// every host call. Its content is the host's business.
struct API_HostContext;
