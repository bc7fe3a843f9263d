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

QByteArray NumericLocale::fixed(double value, int decimals)
{
    const int wanted = decimals < 0 ? 0 : decimals;
    // The widest fixed form of a double: sign, 309 integer digits, point and the decimals.
    QByteArray text(312 + wanted, '\0');
    char *end = writeFixed(text.data(), size_t(text.size()), value, wanted);
    text.truncate(int(end - text.constData()));
    return text;
}
