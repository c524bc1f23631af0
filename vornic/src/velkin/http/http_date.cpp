// RFC 7231 7.1.1.1 HTTP-date, the three forms a recipient must accept:
//   IMF-fixdate  Sun, 06 Nov 1994 08:49:37 GMT
//   RFC 850      Sunday, 06-Nov-94 08:49:37 GMT
//   asctime      Sun Nov  6 08:49:37 1994
#include <array>

#include "velkin/http/http.h"

namespace vornic::velkin::http {

namespace {

using namespace std::chrono;

constexpr std::array<std::string_view, 7> kDays = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::array<std::string_view, 7> kLongDays = {
    "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A cursor over the text; every take fails (and the whole parse with it) on a mismatch.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool literal(std::string_view expected) {
        if (!text_.starts_with(expected)) {
            return false;
        }
        text_.remove_prefix(expected.size());
        return true;
    }

    template <std::size_t N>
    bool one_of(const std::array<std::string_view, N>& names, int* index = nullptr) {
        for (std::size_t i = 0; i < N; ++i) {
            if (literal(names[i])) {
                if (index) {
                    *index = static_cast<int>(i);
                }
                return true;
            }
        }
        return false;
    }

    // Exactly `count` digits.
    bool digits(std::size_t count, int& value) {
        if (text_.size() < count) {
            return false;
        }
        value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = text_[i];
            if (c < '0' || c > '9') {
                return false;
            }
            value = value * 10 + (c - '0');
        }
        text_.remove_prefix(count);
        return true;
    }

    bool time_of_day(int& hour, int& minute, int& second) {
        return digits(2, hour) && literal(":") && digits(2, minute) && literal(":") &&
               digits(2, second);
    }

    bool at_end() const { return text_.empty(); }

private:
    std::string_view text_;
};

struct Fields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

std::optional<system_clock::time_point> to_time(const Fields& f) {
    const year_month_day date{year{f.year}, month{static_cast<unsigned>(f.month + 1)},
                              day{static_cast<unsigned>(f.day)}};
    // 60 is a leap second, which the grammar allows.
    if (!date.ok() || f.hour > 23 || f.minute > 59 || f.second > 60) {
        return std::nullopt;
    }
    // Four digits of year reach past what the clock can hold (about 1678 to 2262 for
    // nanoseconds in 64 bits); such a date cannot be compared with a file's time and is ignored
    // like one that does not parse, rather than overflowing.
    const sys_seconds when = sys_days{date} + hours{f.hour} + minutes{f.minute} + seconds{f.second};
    if (when < ceil<seconds>(system_clock::time_point::min()) ||
        when > floor<seconds>(system_clock::time_point::max())) {
        return std::nullopt;
    }
    return time_point_cast<system_clock::duration>(when);
}

std::optional<Fields> imf_fixdate(std::string_view text) {
    Cursor c(text);
    Fields f;
    if (c.one_of(kDays) && c.literal(", ") && c.digits(2, f.day) && c.literal(" ") &&
        c.one_of(kMonths, &f.month) && c.literal(" ") && c.digits(4, f.year) && c.literal(" ") &&
        c.time_of_day(f.hour, f.minute, f.second) && c.literal(" GMT") && c.at_end()) {
        return f;
    }
    return std::nullopt;
}

std::optional<Fields> rfc850_date(std::string_view text) {
    Cursor c(text);
    Fields f;
    int two_digit_year = 0;
    if (!(c.one_of(kLongDays) && c.literal(", ") && c.digits(2, f.day) && c.literal("-") &&
          c.one_of(kMonths, &f.month) && c.literal("-") && c.digits(2, two_digit_year) &&
          c.literal(" ") && c.time_of_day(f.hour, f.minute, f.second) && c.literal(" GMT") &&
          c.at_end())) {
        return std::nullopt;
    }
    // RFC 7231: a two-digit year that appears more than 50 years in the future is the most
    // recent past year with the same last two digits.
    const int this_year = static_cast<int>(year_month_day{floor<days>(system_clock::now())}.year());
    f.year = this_year - this_year % 100 + two_digit_year;
    if (f.year > this_year + 50) {
        f.year -= 100;
    }
    return f;
}

std::optional<Fields> asctime_date(std::string_view text) {
    Cursor c(text);
    Fields f;
    if (!(c.one_of(kDays) && c.literal(" ") && c.one_of(kMonths, &f.month) && c.literal(" "))) {
        return std::nullopt;
    }
    // The day is two digits or a space and one digit.
    const bool day_ok = c.literal(" ") ? c.digits(1, f.day) : c.digits(2, f.day);
    if (day_ok && c.literal(" ") && c.time_of_day(f.hour, f.minute, f.second) && c.literal(" ") &&
        c.digits(4, f.year) && c.at_end()) {
        return f;
    }
    return std::nullopt;
}

}  // namespace

std::optional<system_clock::time_point> parse_http_date(std::string_view text) {
    for (const auto form : {imf_fixdate, rfc850_date, asctime_date}) {
        if (const auto fields = form(text)) {
            return to_time(*fields);
        }
    }
    return std::nullopt;
}

}  // namespace vornic::velkin::http
