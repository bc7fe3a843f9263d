#include "LocalTimeFormatter.h"

#include <QDateTime>

#include <cstring>

namespace {
constexpr int64_t kQuarterMs = 15 * 60 * 1000;
constexpr int64_t kDayMs = 24 * 3600 * 1000;

inline char *twoDigits(char *out, int v)
{
    out[0] = char('0' + v / 10);
    out[1] = char('0' + v % 10);
    return out + 2;
}

inline char *upToTwoDigits(char *out, int v)
{
    if (v >= 10)
        *out++ = char('0' + v / 10);
    *out++ = char('0' + v % 10);
    return out;
}

inline char *fourDigitYear(char *out, int year)
{
    if (year < 0 || year > 9999) {
        // Outside what the formats can show; keep the width so rows stay parseable.
        year = year < 0 ? 0 : 9999;
    }
    out[0] = char('0' + year / 1000);
    out[1] = char('0' + year / 100 % 10);
    out[2] = char('0' + year / 10 % 10);
    out[3] = char('0' + year % 10);
    return out + 4;
}
}  // namespace

int64_t LocalTimeFormatter::floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

int LocalTimeFormatter::offsetSecondsAt(int64_t utcMillis)
{
    return QDateTime::fromMSecsSinceEpoch(utcMillis, Qt::LocalTime).offsetFromUtc();
}

int64_t LocalTimeFormatter::toLocalMillis(int64_t utcMillis)
{
    const int64_t quarter = floorDiv(utcMillis, kQuarterMs) * kQuarterMs;
    if (quarter != m_quarterStart) {
        m_quarterStart = quarter;
        const int atStart = offsetSecondsAt(quarter);
        const int atEnd = offsetSecondsAt(quarter + kQuarterMs - 1);
        m_quarterUniform = atStart == atEnd;
        m_quarterOffsetMs = atStart * 1000;
    }
    const int64_t offset = m_quarterUniform ? m_quarterOffsetMs : int64_t(offsetSecondsAt(utcMillis)) * 1000;
    return utcMillis + offset;
}

LocalTimeFormatter::Civil LocalTimeFormatter::civilFromLocalMillis(int64_t localMillis)
{
    // Days to civil date after H. Hinnant's algorithm (proleptic Gregorian).
    const int64_t days = floorDiv(localMillis, kDayMs);
    const int64_t msOfDay = localMillis - days * kDayMs;
    const int64_t z = days + 719468;
    const int64_t era = floorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    Civil c;
    c.year = int(y);
    c.month = int(m);
    c.day = int(d);
    c.hour = int(msOfDay / 3600000);
    c.minute = int(msOfDay / 60000 % 60);
    c.second = int(msOfDay / 1000 % 60);
    c.millisecond = int(msOfDay % 1000);
    return c;
}

LocalTimeFormatter::Civil LocalTimeFormatter::civil(int64_t utcMillis)
{
    const int64_t local = toLocalMillis(utcMillis);
    const int64_t day = floorDiv(local, kDayMs);
    if (day != m_cachedDay) {
        m_cachedDay = day;
        m_cachedDayCivil = civilFromLocalMillis(day * kDayMs);
        char *p = fourDigitYear(m_cachedDate, m_cachedDayCivil.year);
        *p++ = '-';
        p = twoDigits(p, m_cachedDayCivil.month);
        *p++ = '-';
        twoDigits(p, m_cachedDayCivil.day);
    }
    Civil c = m_cachedDayCivil;
    const int64_t msOfDay = local - day * kDayMs;
    c.hour = int(msOfDay / 3600000);
    c.minute = int(msOfDay / 60000 % 60);
    c.second = int(msOfDay / 1000 % 60);
    c.millisecond = int(msOfDay % 1000);
    return c;
}

char *LocalTimeFormatter::writeIsoDate(char *out, int64_t utcMillis)
{
    civil(utcMillis);
    std::memcpy(out, m_cachedDate, sizeof m_cachedDate);
    return out + sizeof m_cachedDate;
}

char *LocalTimeFormatter::writeIsoTime(char *out, int64_t utcMillis)
{
    const Civil c = civil(utcMillis);
    out = twoDigits(out, c.hour);
    *out++ = ':';
    out = twoDigits(out, c.minute);
    *out++ = ':';
    return twoDigits(out, c.second);
}

char *LocalTimeFormatter::writeUsDateTime(char *out, int64_t utcMillis)
{
    const Civil c = civil(utcMillis);
    out = upToTwoDigits(out, c.month);
    *out++ = '/';
    out = upToTwoDigits(out, c.day);
    *out++ = '/';
    out = fourDigitYear(out, c.year);
    *out++ = ' ';
    out = upToTwoDigits(out, c.hour);
    *out++ = ':';
    out = twoDigits(out, c.minute);
    *out++ = ':';
    return twoDigits(out, c.second);
}
