// Dates, numbers and currencies formatted and parsed for a locale (ICU identifiers, "de_AT"),
// in the system's time zone, and the locale's names, patterns and calendar facts. Every function
// answers absent when the locale data cannot give an answer.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform::locale {

// Date and time styles: 0 none, 1 short, 2 medium, 3 long, 4 full.
struct DateStyles {
    int date = 1;
    int time = 1;
};
// Number styles: 1 decimal, 2 currency, 3 percent.
enum NumberStyle { Decimal = 1, Currency = 2, Percent = 3 };

// The canonical form of a locale name without encoding or modifier ("de_AT"); empty when there
// is none.
std::string canonicalLocale(const std::string& name);

// Milliseconds since 1970 as text.
std::optional<std::string> formatDate(const std::string& locale, DateStyles styles, double millis);

struct DateFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;  // month from 0
};
// A lenient parse of the whole text (trailing blanks allowed) whose fields must make a real date;
// the fields as the calendar of `calendarLocale` counts them.
std::optional<DateFields> parseDate(const std::string& locale, DateStyles styles, const std::string& text,
                                    const std::string& calendarLocale);

struct DatePattern {
    std::string pattern;
    std::string timezone;  // the system's abbreviation where it agrees with the zone (CET, JST)
    int utcOffsetSeconds = 0;
    double dstOffsetSeconds = 0;
};
std::optional<DatePattern> datePattern(const std::string& locale, DateStyles styles);

// The months (from January) or the days of the week (from Sunday), wide or abbreviated.
std::optional<std::vector<std::string>> dateNames(const std::string& locale, bool days, bool abbreviated);

std::optional<bool> isDaylightSavingTime(double millis);
// 1 = Sunday.
std::optional<int> firstDayOfWeek(const std::string& locale);

std::optional<std::string> formatNumber(const std::string& locale, NumberStyle style, double number);
// The whole text (trailing blanks allowed); currency amounts are parsed leniently.
std::optional<double> parseNumber(const std::string& locale, NumberStyle style, const std::string& text);

struct NumberPattern {
    std::string pattern, symbol;
    int fraction = 0;
    double rounding = 0;
    std::string positive, negative, decimal, grouping;
};
// `symbol` is the currency or percent sign for those styles, else empty.
std::optional<NumberPattern> numberPattern(const std::string& locale, NumberStyle style);

struct CurrencyPattern {
    std::string pattern;
    int fraction = 0;
    double rounding = 0;
    std::string decimal, grouping;
};
// The pattern of a known ISO 4217 currency (three upper-case letters) in the locale.
std::optional<CurrencyPattern> currencyPattern(const std::string& locale, const std::string& isoCode);

}  // namespace platform::locale
