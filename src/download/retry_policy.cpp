#include "download/retry_policy.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace download {

namespace {

constexpr long kServiceUnavailable = 503;
constexpr long kTooManyRequests = 429;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number of `count` digits at `text[at]`, or -1.
long digits(const std::string& text, size_t at, size_t count) {
    if (at + count > text.size()) return -1;
    long value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!is_digit(text[i])) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

// An IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT" (the form HTTP requires senders to
// use), as seconds since 1970; nothing for any other text.
std::optional<std::int64_t> http_date(const std::string& text) {
    static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() != 29 || text.compare(3, 2, ", ") != 0 || text[7] != ' ' || text[11] != ' ' ||
        text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.compare(25, 4, " GMT") != 0)
        return std::nullopt;
    if (std::none_of(std::begin(kDays), std::end(kDays),
                     [&](const char* day) { return text.compare(0, 3, day) == 0; }))
        return std::nullopt;
    const auto month = std::find_if(std::begin(kMonths), std::end(kMonths), [&](const char* name) {
        return text.compare(8, 3, name) == 0;
    });
    const long day = digits(text, 5, 2);
    const long year = digits(text, 12, 4);
    const long hour = digits(text, 17, 2);
    const long minute = digits(text, 20, 2);
    const long second = digits(text, 23, 2);
    if (month == std::end(kMonths) || day < 1 || day > 31 || year < 0 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60)
        return std::nullopt;
    const unsigned month_number = static_cast<unsigned>(month - std::begin(kMonths)) + 1;
    return days_from_civil(year, month_number, static_cast<unsigned>(day)) * 86400 + hour * 3600 +
           minute * 60 + second;
}

// Blanks around a header value are not part of it.
std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

NextAttempt next_attempt(int attempt, const AttemptEnd& end, double draw) {
    draw = std::min(std::max(draw, 0.0), 1.0);
    NextAttempt next;
    next.again = attempt < kAttempts;
    if (end.kind == AttemptEnd::Kind::kDigest) return next;
    const bool server_may_ask =
        end.kind == AttemptEnd::Kind::kStatus &&
        (end.status == kServiceUnavailable || end.status == kTooManyRequests) &&
        end.retry_after.has_value() && end.trusted;
    if (server_may_ask) {
        next.server_asked = true;
        next.server_seconds = *end.retry_after;
        if (next.server_seconds > kLongestServerWaitSeconds) {
            next.again = false;
            return next;
        }
        next.wait_seconds = static_cast<double>(next.server_seconds) * (1.0 + 0.5 * draw);
        return next;
    }
    const double doubled = kFirstWaitSeconds * std::ldexp(1.0, std::max(attempt, 1) - 1);
    next.wait_seconds = std::min(kLongestBackOffSeconds, doubled * (0.5 + draw));
    return next;
}

std::optional<long> parse_retry_after(const std::vector<std::string>& values, std::int64_t now,
                                      bool& bad) {
    bad = false;
    if (values.empty()) return std::nullopt;
    bad = true;
    if (values.size() != 1) return std::nullopt;
    const std::string value = trimmed(values[0]);
    std::int64_t seconds = -1;
    if (!value.empty() && value.size() <= 10 && std::all_of(value.begin(), value.end(), is_digit)) {
        seconds = std::stoll(value);
    } else if (const std::optional<std::int64_t> date = http_date(value)) {
        seconds = std::max<std::int64_t>(*date - now, 0);
    }
    if (seconds < 0 || seconds > kLongestBelievedSeconds) return std::nullopt;
    bad = false;
    return static_cast<long>(seconds);
}

}  // namespace download
