// Commands the library sends on its own, before or beside what a caller
// asks for: the seal application probe and the payment-state selections.
#pragma once

namespace qav::test {

inline constexpr char kSelectAbility[] = "00 A4 00 00 02 40 00";
inline constexpr char kSelectSeal[] = "00 A4 04 00 08 A0 00 00 04 53 4B 4D 50";
inline constexpr char kSelectMaster[] = "00 A4 00 00 02 3F 00";

// "1PAY.SYS.DDF01" and "2PAY.SYS.DDF01", then the applications in the order
// they are tried.
inline constexpr char kPaymentDirectory1[] =
    "00 A4 04 00 0E 31 50 41 59 2E 53 59 53 2E 44 44 46 30 31";
inline constexpr char kPaymentDirectory2[] =
    "00 A4 04 00 0E 32 50 41 59 2E 53 59 53 2E 44 44 46 30 31";
inline constexpr char kPaymentApp1[] = "00 A4 04 00 08 A0 00 00 03 33 01 01 01";
inline constexpr char kPaymentApp2[] = "00 A4 04 00 08 A0 00 00 03 33 01 01 02";
inline constexpr char kPaymentApp3[] = "00 A4 04 00 08 A0 00 00 03 33 01 01 03";
inline constexpr char kPaymentApp4[] = "00 A4 04 00 08 A0 00 00 03 33 01 01 06";

}  // namespace qav::test
