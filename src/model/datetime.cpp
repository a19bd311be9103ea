#include "datetime.h"

#include <chrono>

using namespace std::chrono;

std::optional<std::array<char16_t, 20>> formatInternetDateTime(const QDateTime &time)
{
    if (!time.isValid())
        return std::nullopt;
    const sys_seconds instant
        = floor<seconds>(sys_time<milliseconds>(milliseconds(time.toMSecsSinceEpoch())));
    const sys_days day = floor<days>(instant);
    const year_month_day date(day);
    const hh_mm_ss clock(instant - day);
    const int y = int(date.year());
    if (y < 0 || y > 9999)
        return std::nullopt;

    std::array<char16_t, 20> out {};
    auto put = [&out](int at, int value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            out[at + i] = char16_t(u'0' + value % 10);
    };
    put(0, y, 4);
    out[4] = u'-';
    put(5, int(unsigned(date.month())), 2);
    out[7] = u'-';
    put(8, int(unsigned(date.day())), 2);
    out[10] = u'T';
    put(11, int(clock.hours().count()), 2);
    out[13] = u':';
    put(14, int(clock.minutes().count()), 2);
    out[16] = u':';
    put(17, int(clock.seconds().count()), 2);
    out[19] = u'Z';
    return out;
}

std::optional<QDateTime> parseInternetDateTime(std::string_view text)
{
    auto digits = [&text](size_t at, size_t width) -> int {
        int value = 0;
        for (size_t i = at; i < at + width; ++i) {
            if (i >= text.size() || text[i] < '0' || text[i] > '9')
                return -1;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    auto is = [&text](size_t at, char c) { return at < text.size() && text[at] == c; };

    const int y = digits(0, 4), mo = digits(5, 2), d = digits(8, 2);
    const int h = digits(11, 2), mi = digits(14, 2), s = digits(17, 2);
    if (y < 0 || mo < 0 || d < 0 || h < 0 || mi < 0 || s < 0 || !is(4, '-') || !is(7, '-')
        || !is(10, 'T') || !is(13, ':') || !is(16, ':'))
        return std::nullopt;
    const year_month_day date {year(y), month(unsigned(mo)), day(unsigned(d))};
    if (!date.ok() || h > 23 || mi > 59 || s > 59)
        return std::nullopt;

    int offsetMinutes = 0;
    if (text.size() == 20 && is(19, 'Z')) {
        offsetMinutes = 0;
    } else if (text.size() == 25 && (is(19, '+') || is(19, '-')) && is(22, ':')) {
        const int oh = digits(20, 2), om = digits(23, 2);
        if (oh < 0 || om < 0 || oh > 23 || om > 59)
            return std::nullopt;
        offsetMinutes = (oh * 60 + om) * (is(19, '-') ? -1 : 1);
    } else {
        return std::nullopt;
    }
    const sys_seconds local = sys_days(date) + hours(h) + minutes(mi) + seconds(s);
    const sys_seconds utc = local - minutes(offsetMinutes);
    // An offset can carry the first or the last moments of the four-digit years across the
    // edge (0000-01-01T00:00:00+00:01). Such a time could be read but never written back, and
    // the session holding it could not be saved again.
    const int utcYear = int(year_month_day(floor<days>(utc)).year());
    if (utcYear < 0 || utcYear > 9999)
        return std::nullopt;
    return QDateTime::fromSecsSinceEpoch(utc.time_since_epoch().count(), Qt::UTC);
}
