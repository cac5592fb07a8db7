#pragma once

// Compatibility identifiers name a hardware revision of the instrument. They
// are version-4 UUIDs kept in the byte order of their text form and compared
// byte for byte.

#include <QByteArray>

// Revision 1 boards (STM32G071KB), 3cc3a93f-4261-45ff-95bf-653df2686cb0. Also the
// identifier of every instrument too old to report one.
inline constexpr unsigned char uuid_compat_stm32g071kb_r1[16] = {
    0x3c, 0xc3, 0xa9, 0x3f, 0x42, 0x61, 0x45, 0xff, 0x95, 0xbf, 0x65, 0x3d, 0xf2, 0x68, 0x6c, 0xb0,
};

// Revision 2 boards (STM32G070KB), 21de3ef2-09bf-4a78-83a0-9eb750df2e57.
inline constexpr unsigned char uuid_compat_stm32g070kb_r2[16] = {
    0x21, 0xde, 0x3e, 0xf2, 0x09, 0xbf, 0x4a, 0x78, 0x83, 0xa0, 0x9e, 0xb7, 0x50, 0xdf, 0x2e, 0x57,
};

inline QByteArray compatIdBytes(const unsigned char (&id)[16])
{
    return QByteArray(reinterpret_cast<const char *>(id), 16);
}
