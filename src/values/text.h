// The text forms of Firestore's JSON: timestamps (RFC 3339), bytes (standard
// padded base64) and 64-bit integers in decimal. Plain C++ on characters;
// nothing here touches Python objects.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fv::text {

// A moment as the codec handles it: microseconds since 0001-01-01T00:00:00Z
// split into calendar fields.
struct Moment {
    int year, month, day, hour, minute, second, microsecond;
};

// Microseconds since 1970-01-01T00:00:00Z, and back.
int64_t to_epoch_us(const Moment& m);
Moment from_epoch_us(int64_t us);
// Whether the year of a moment lies where datetime can hold it (0001-9999).
inline bool in_datetime_range(const Moment& m) { return m.year >= 1 && m.year <= 9999; }

// "YYYY-MM-DDTHH:MM:SS[.ffffff]Z" of a UTC moment; returns its length (at
// most 27 characters).
std::size_t format_timestamp(const Moment& m, char* out);

// Parses "YYYY-MM-DDTHH:MM:SS[.d{1,9}](Z|+HH:MM|-HH:MM)"; digits past the
// microseconds are dropped. Returns false for anything else, a date or time
// that does not exist, or a year 0000; on success `utc` holds the moment in
// UTC (whose year may then lie outside 1-9999).
bool parse_timestamp(const char* s, std::size_t n, Moment& utc);

// Standard base64 with padding.
constexpr std::size_t base64_length(std::size_t bytes) { return (bytes + 2) / 3 * 4; }
void base64_encode(const unsigned char* in, std::size_t n, char* out);
// Decoded length of a well-formed text (alphabet, length a multiple of 4,
// at most two "=" at its end), or -1.
std::ptrdiff_t base64_decoded_length(const char* s, std::size_t n);
void base64_decode(const char* s, std::size_t n, unsigned char* out);

// "-?[0-9]+" within 64 bits.
bool parse_int64(const char* s, std::size_t n, int64_t& value);

}  // namespace fv::text
