#pragma once

#include <cstddef>

// Numbers in the files we write never depend on the user's locale: a German desktop must not
// turn 3.5 into "3,5" inside a comma-separated row, and a spreadsheet must be able to read the
// workbook wherever it was made.
namespace NumericLocale {
// Sets LC_NUMERIC of the process to "C". QCoreApplication adopts the environment's locale on
// Unix (setlocale(LC_ALL, "")), so every program calls this right after creating its
// application object; libraries that format with printf (libxlsxwriter) then write a decimal
// point. Our own code formats locale-free as well and does not rely on this alone.
void pinToC();

// `value` with exactly `decimals` digits after a '.', as printf's "%.*f" in the C locale
// (rounded to nearest, "-0.0" kept, "nan"/"inf" for those). Writes at most `room` bytes at
// `out` and returns the end of what was written; nothing is written when it does not fit.
char *writeFixed(char *out, size_t room, double value, int decimals);
}  // namespace NumericLocale
