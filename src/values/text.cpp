#include "values/text.h"

namespace fv::text {

namespace {

constexpr int64_t us_per_day = 86'400'000'000;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (the
// era-based algorithms of H. Hinnant's "chrono-Compatible Low-Level Date
// Algorithms").
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, Moment& m) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    m.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    m.year = static_cast<int>(yoe + era * 400 + (m.month <= 2));
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

char* put(char* out, int value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
    return out + width;
}

bool digits(const char* s, int width, int& value) {
    value = 0;
    for (int i = 0; i < width; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Sextets {
    signed char of[256];
    constexpr Sextets() : of() {
        for (int i = 0; i < 256; ++i) of[i] = -1;
        for (int i = 0; i < 64; ++i) of[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    }
};
constexpr Sextets sextets;

}  // namespace

int64_t to_epoch_us(const Moment& m) {
    return days_from_civil(m.year, m.month, m.day) * us_per_day +
           ((m.hour * 60 + m.minute) * 60 + m.second) * int64_t{1'000'000} + m.microsecond;
}

Moment from_epoch_us(int64_t us) {
    int64_t days = us / us_per_day, rest = us % us_per_day;
    if (rest < 0) rest += us_per_day, --days;
    Moment m{};
    civil_from_days(days, m);
    m.microsecond = static_cast<int>(rest % 1'000'000);
    const int64_t seconds = rest / 1'000'000;
    m.second = static_cast<int>(seconds % 60);
    m.minute = static_cast<int>(seconds / 60 % 60);
    m.hour = static_cast<int>(seconds / 3600);
    return m;
}

std::size_t format_timestamp(const Moment& m, char* out) {
    char* p = put(out, m.year, 4);
    *p++ = '-';
    p = put(p, m.month, 2);
    *p++ = '-';
    p = put(p, m.day, 2);
    *p++ = 'T';
    p = put(p, m.hour, 2);
    *p++ = ':';
    p = put(p, m.minute, 2);
    *p++ = ':';
    p = put(p, m.second, 2);
    if (m.microsecond) {
        *p++ = '.';
        p = put(p, m.microsecond, 6);
    }
    *p++ = 'Z';
    return static_cast<std::size_t>(p - out);
}

bool parse_timestamp(const char* s, std::size_t n, Moment& utc) {
    // The fixed part: 19 characters.
    Moment m{};
    if (n < 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':')
        return false;
    if (!digits(s, 4, m.year) || !digits(s + 5, 2, m.month) || !digits(s + 8, 2, m.day) ||
        !digits(s + 11, 2, m.hour) || !digits(s + 14, 2, m.minute) || !digits(s + 17, 2, m.second))
        return false;
    if (m.year < 1 || m.month < 1 || m.month > 12 || m.day < 1 || m.day > days_in_month(m.year, m.month) ||
        m.hour > 23 || m.minute > 59 || m.second > 59)
        return false;
    std::size_t i = 19;
    if (s[i] == '.') {
        const std::size_t first = ++i;
        int scale = 100'000;
        for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10)
            if (scale) m.microsecond += (s[i] - '0') * scale;
        if (i == first || i - first > 9) return false;
    }
    int64_t offset_minutes = 0;
    if (i + 1 == n && s[i] == 'Z') {
        // UTC
    } else if (i + 6 == n && (s[i] == '+' || s[i] == '-') && s[i + 3] == ':') {
        int hours, minutes;
        if (!digits(s + i + 1, 2, hours) || !digits(s + i + 4, 2, minutes) || hours > 23 ||
            minutes > 59)
            return false;
        offset_minutes = (s[i] == '-' ? -1 : 1) * (hours * 60 + minutes);
    } else {
        return false;
    }
    utc = from_epoch_us(to_epoch_us(m) - offset_minutes * 60'000'000);
    return true;
}

void base64_encode(const unsigned char* in, std::size_t n, char* out) {
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const unsigned v = unsigned{in[i]} << 16 | unsigned{in[i + 1]} << 8 | in[i + 2];
        *out++ = alphabet[v >> 18];
        *out++ = alphabet[v >> 12 & 63];
        *out++ = alphabet[v >> 6 & 63];
        *out++ = alphabet[v & 63];
    }
    if (n - i == 1) {
        const unsigned v = unsigned{in[i]} << 16;
        *out++ = alphabet[v >> 18];
        *out++ = alphabet[v >> 12 & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (n - i == 2) {
        const unsigned v = unsigned{in[i]} << 16 | unsigned{in[i + 1]} << 8;
        *out++ = alphabet[v >> 18];
        *out++ = alphabet[v >> 12 & 63];
        *out++ = alphabet[v >> 6 & 63];
        *out++ = '=';
    }
}

std::ptrdiff_t base64_decoded_length(const char* s, std::size_t n) {
    if (n % 4) return -1;
    std::size_t pad = 0;
    if (n && s[n - 1] == '=') pad = s[n - 2] == '=' ? 2 : 1;
    for (std::size_t i = 0; i < n - pad; ++i)
        if (sextets.of[static_cast<unsigned char>(s[i])] < 0) return -1;
    return static_cast<std::ptrdiff_t>(n / 4 * 3 - pad);
}

void base64_decode(const char* s, std::size_t n, unsigned char* out) {
    unsigned v = 0;
    int bits = 0;
    for (std::size_t i = 0; i < n && s[i] != '='; ++i) {
        v = (v << 6 | static_cast<unsigned>(sextets.of[static_cast<unsigned char>(s[i])])) & 0xffffff;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            *out++ = static_cast<unsigned char>(v >> bits);
        }
    }
}

bool parse_int64(const char* s, std::size_t n, int64_t& value) {
    const bool negative = n && s[0] == '-';
    std::size_t i = negative;
    if (i == n) return false;
    // Accumulated as a negative number, which reaches one further than a positive one.
    int64_t acc = 0;
    for (; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        const int d = s[i] - '0';
        if (acc < (INT64_MIN + d) / 10) return false;
        acc = acc * 10 - d;
    }
    if (!negative && acc == INT64_MIN) return false;
    value = negative ? acc : -acc;
    return true;
}

}  // namespace fv::text
