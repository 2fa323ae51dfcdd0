#include "platform/locale_format.h"

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/dcfmtsym.h>
#include <unicode/decimfmt.h>
#include <unicode/dtfmtsym.h>
#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/ucurr.h>
#include <unicode/unistr.h>

#include <ctime>
#include <memory>

namespace platform::locale {

namespace {

std::string utf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

icu::UnicodeString ustr(const std::string& s) { return icu::UnicodeString::fromUTF8(s); }

icu::DateFormat::EStyle icuDateStyle(int style) {
    switch (style) {
        case 1: return icu::DateFormat::kShort;
        case 2: return icu::DateFormat::kMedium;
        case 3: return icu::DateFormat::kLong;
        case 4: return icu::DateFormat::kFull;
        default: return icu::DateFormat::kNone;
    }
}

// A date formatter of the styles for the locale, in the system's time zone now.
std::unique_ptr<icu::SimpleDateFormat> makeDateFormatter(const std::string& locale, DateStyles styles) {
    std::unique_ptr<icu::DateFormat> f(icu::DateFormat::createDateTimeInstance(
        icuDateStyle(styles.date), icuDateStyle(styles.time), icu::Locale(locale.c_str())));
    auto* simple = dynamic_cast<icu::SimpleDateFormat*>(f.get());
    if (!simple) return nullptr;
    f.release();
    std::unique_ptr<icu::SimpleDateFormat> out(simple);
    out->adoptTimeZone(icu::TimeZone::detectHostTimeZone());
    return out;
}

std::unique_ptr<icu::DecimalFormat> makeNumberFormatter(const std::string& locale, NumberStyle style) {
    UNumberFormatStyle s = style == Currency ? UNUM_CURRENCY : style == Percent ? UNUM_PERCENT : UNUM_DECIMAL;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::NumberFormat> f(icu::NumberFormat::createInstance(icu::Locale(locale.c_str()), s, status));
    if (U_FAILURE(status)) return nullptr;
    auto* decimal = dynamic_cast<icu::DecimalFormat*>(f.get());
    if (!decimal) return nullptr;
    f.release();
    return std::unique_ptr<icu::DecimalFormat>(decimal);
}

// Whether the parse took the whole text (trailing blanks allowed).
bool consumedAll(const icu::UnicodeString& text, const icu::ParsePosition& pos) {
    if (pos.getErrorIndex() >= 0 || pos.getIndex() <= 0) return false;
    for (int32_t i = pos.getIndex(); i < text.length(); ++i) {
        if (!u_isWhitespace(text.charAt(i))) return false;
    }
    return true;
}

std::string symbol(const icu::DecimalFormatSymbols& s, icu::DecimalFormatSymbols::ENumberFormatSymbol which) {
    return utf8(s.getConstSymbol(which));
}

// The system's abbreviation of the zone (CET, JST); the formatter's zone decides when the C
// library sees another one.
std::string zoneAbbreviation(const icu::TimeZone& zone, UDate now, int32_t offsetMillis, bool daylight,
                             const std::string& locale) {
    tzset();
    std::time_t t = static_cast<std::time_t>(now / 1000.0);
    std::tm tm{};
    if (localtime_r(&t, &tm) && tm.tm_zone && *tm.tm_zone &&
        static_cast<long long>(tm.tm_gmtoff) * 1000 == offsetMillis) {
        return tm.tm_zone;
    }
    icu::UnicodeString name;
    zone.getDisplayName(daylight, icu::TimeZone::SHORT, icu::Locale(locale.c_str()), name);
    return utf8(name);
}

}  // namespace

std::string canonicalLocale(const std::string& name) {
    icu::Locale loc = icu::Locale::createCanonical(name.c_str());
    if (loc.isBogus() || !*loc.getName()) return {};
    return loc.getName();
}

std::optional<std::string> formatDate(const std::string& locale, DateStyles styles, double millis) {
    auto formatter = makeDateFormatter(locale, styles);
    if (!formatter) return std::nullopt;
    icu::UnicodeString text;
    formatter->format(static_cast<UDate>(millis), text);
    return utf8(text);
}

std::optional<DateFields> parseDate(const std::string& locale, DateStyles styles, const std::string& input,
                                    const std::string& calendarLocale) {
    auto formatter = makeDateFormatter(locale, styles);
    if (!formatter) return std::nullopt;
    formatter->setLenient(true);
    icu::UnicodeString text = ustr(input);
    std::unique_ptr<icu::Calendar> fields(formatter->getCalendar()->clone());
    if (!fields) return std::nullopt;
    fields->clear();
    icu::ParsePosition pos(0);
    formatter->parse(text, *fields, pos);
    if (!consumedAll(text, pos)) return std::nullopt;
    // The lenient parse takes any field values; a lenient calendar would roll "31.2." or a year
    // typed where the day goes into some other date. Such fields are a parse failure.
    fields->setLenient(false);
    UErrorCode fieldStatus = U_ZERO_ERROR;
    UDate date = fields->getTime(fieldStatus);
    if (U_FAILURE(fieldStatus)) return std::nullopt;

    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(
        icu::TimeZone::detectHostTimeZone(), icu::Locale(calendarLocale.c_str()), status));
    if (U_FAILURE(status) || !calendar) return std::nullopt;
    calendar->setTime(date, status);
    DateFields out;
    out.year = calendar->get(UCAL_YEAR, status);
    out.month = calendar->get(UCAL_MONTH, status);
    out.day = calendar->get(UCAL_DATE, status);
    out.hour = calendar->get(UCAL_HOUR_OF_DAY, status);
    out.minute = calendar->get(UCAL_MINUTE, status);
    out.second = calendar->get(UCAL_SECOND, status);
    if (U_FAILURE(status)) return std::nullopt;
    return out;
}

std::optional<DatePattern> datePattern(const std::string& locale, DateStyles styles) {
    auto formatter = makeDateFormatter(locale, styles);
    if (!formatter) return std::nullopt;
    icu::UnicodeString pattern;
    formatter->toPattern(pattern);
    const icu::TimeZone& zone = formatter->getTimeZone();
    UDate now = icu::Calendar::getNow();
    int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone.getOffset(now, false, raw, dst, status);
    if (pattern.isEmpty() || U_FAILURE(status)) return std::nullopt;
    DatePattern out;
    out.pattern = utf8(pattern);
    out.timezone = zoneAbbreviation(zone, now, raw + dst, dst != 0, locale);
    out.utcOffsetSeconds = (raw + dst) / 1000;
    out.dstOffsetSeconds = dst / 1000.0;
    return out;
}

std::optional<std::vector<std::string>> dateNames(const std::string& locale, bool days, bool abbreviated) {
    auto formatter = makeDateFormatter(locale, {4, 4});
    const icu::DateFormatSymbols* symbols = formatter ? formatter->getDateFormatSymbols() : nullptr;
    if (!symbols) return std::nullopt;
    auto width = abbreviated ? icu::DateFormatSymbols::ABBREVIATED : icu::DateFormatSymbols::WIDE;
    int32_t count = 0;
    const icu::UnicodeString* names = days ? symbols->getWeekdays(count, icu::DateFormatSymbols::FORMAT, width)
                                           : symbols->getMonths(count, icu::DateFormatSymbols::FORMAT, width);
    // Weekday lists are indexed by the calendar's day numbers, 1 = Sunday; entry 0 is empty.
    int32_t first = days ? 1 : 0;
    if (!names || count <= first) return std::nullopt;
    std::vector<std::string> out;
    for (int32_t i = first; i < count; ++i) out.push_back(utf8(names[i]));
    return out;
}

std::optional<bool> isDaylightSavingTime(double millis) {
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::detectHostTimeZone());
    int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    if (zone) zone->getOffset(static_cast<UDate>(millis), false, raw, dst, status);
    if (!zone || U_FAILURE(status)) return std::nullopt;
    return dst != 0;
}

std::optional<int> firstDayOfWeek(const std::string& locale) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(icu::Locale(locale.c_str()), status));
    if (U_FAILURE(status) || !calendar) return std::nullopt;
    UCalendarDaysOfWeek first = calendar->getFirstDayOfWeek(status);
    if (U_FAILURE(status)) return std::nullopt;
    return static_cast<int>(first);
}

std::optional<std::string> formatNumber(const std::string& locale, NumberStyle style, double number) {
    auto formatter = makeNumberFormatter(locale, style);
    if (!formatter) return std::nullopt;
    icu::UnicodeString text;
    formatter->format(number, text);
    return utf8(text);
}

std::optional<double> parseNumber(const std::string& locale, NumberStyle style, const std::string& input) {
    auto formatter = makeNumberFormatter(locale, style);
    if (!formatter) return std::nullopt;
    formatter->setLenient(style == Currency);
    icu::UnicodeString text = ustr(input);
    icu::Formattable value;
    icu::ParsePosition pos(0);
    formatter->parse(text, value, pos);
    UErrorCode status = U_ZERO_ERROR;
    double number = value.getDouble(status);
    if (!consumedAll(text, pos) || U_FAILURE(status)) return std::nullopt;
    return number;
}

std::optional<NumberPattern> numberPattern(const std::string& locale, NumberStyle style) {
    auto formatter = makeNumberFormatter(locale, style);
    const icu::DecimalFormatSymbols* symbols = formatter ? formatter->getDecimalFormatSymbols() : nullptr;
    if (!symbols) return std::nullopt;
    using S = icu::DecimalFormatSymbols;
    icu::UnicodeString pattern;
    formatter->toPattern(pattern);
    NumberPattern out;
    out.pattern = utf8(pattern);
    out.symbol = style == Currency  ? symbol(*symbols, S::kCurrencySymbol)
                 : style == Percent ? symbol(*symbols, S::kPercentSymbol)
                                    : std::string();
    out.fraction = formatter->getMinimumFractionDigits();
    out.rounding = formatter->getRoundingIncrement();
    out.positive = symbol(*symbols, S::kPlusSignSymbol);
    out.negative = symbol(*symbols, S::kMinusSignSymbol);
    out.decimal = symbol(*symbols, S::kDecimalSeparatorSymbol);
    out.grouping = symbol(*symbols, S::kGroupingSeparatorSymbol);
    return out;
}

std::optional<CurrencyPattern> currencyPattern(const std::string& locale, const std::string& isoCode) {
    icu::UnicodeString isoText = ustr(isoCode);
    const UChar* iso16 = isoText.getTerminatedBuffer();
    UErrorCode status = U_ZERO_ERROR;
    bool known = ucurr_isAvailable(iso16, U_DATE_MIN, U_DATE_MAX, &status);
    int32_t fraction = ucurr_getDefaultFractionDigits(iso16, &status);
    double rounding = ucurr_getRoundingIncrement(iso16, &status);
    auto formatter = makeNumberFormatter(locale, Currency);
    if (!known || U_FAILURE(status) || !formatter) return std::nullopt;

    using S = icu::DecimalFormatSymbols;
    S symbols(*formatter->getDecimalFormatSymbols());
    symbols.setSymbol(S::kIntlCurrencySymbol, isoText);
    formatter->setDecimalFormatSymbols(symbols);
    formatter->setCurrency(iso16, status);
    if (U_FAILURE(status)) return std::nullopt;
    icu::UnicodeString pattern;
    formatter->toPattern(pattern);
    CurrencyPattern out;
    out.pattern = utf8(pattern);
    out.fraction = fraction;
    out.rounding = rounding;
    out.decimal = symbol(*formatter->getDecimalFormatSymbols(), S::kMonetarySeparatorSymbol);
    out.grouping = symbol(*formatter->getDecimalFormatSymbols(), S::kMonetaryGroupingSeparatorSymbol);
    return out;
}

}  // namespace platform::locale
