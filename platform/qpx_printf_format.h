// Format checks for printf-style functions of the project. The Windows build formats with the
// C99 printf of mingw-w64 (%zu, %llu, as on Linux), which GCC checks as gnu_printf; there
// GCC's plain "printf" means the Microsoft runtime's older format language.
#pragma once

#if defined(__MINGW32__)
#define QPX_PRINTF_FORMAT(format_index, first_value) \
    __attribute__((format(gnu_printf, format_index, first_value)))
#else
#define QPX_PRINTF_FORMAT(format_index, first_value) \
    __attribute__((format(printf, format_index, first_value)))
#endif
