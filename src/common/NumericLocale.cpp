#include "NumericLocale.h"

#include <charconv>
#include <clocale>

void NumericLocale::pinToC()
{
    std::setlocale(LC_NUMERIC, "C");
}

char *NumericLocale::writeFixed(char *out, size_t room, double value, int decimals)
{
    const std::to_chars_result r = std::to_chars(out, out + room, value, std::chars_format::fixed, decimals);
    return r.ec == std::errc() ? r.ptr : out;
}
