#include "plugins/standard/WHGlobalization.h"

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

#include <cstdlib>
#include <ctime>
#include <memory>

#include "bridge/WHCommandDelegate.h"
#include "platform/bundle.h"

WH_REGISTER_PLUGIN(WHGlobalization);

namespace {

enum ErrorCode { UNKNOWN_ERROR = 0, FORMATTING_ERROR = 1, PARSING_ERROR = 2, PATTERN_ERROR = 3 };

std::string utf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

icu::UnicodeString ustr(const std::string& s) { return icu::UnicodeString::fromUTF8(s); }

// A text option of an "options" dictionary; other kinds count as absent.
std::optional<std::string> textOption(const Value& options, const char* key) {
    if (!options.is_object()) return std::nullopt;
    auto it = options.find(key);
    if (it == options.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

Value optionsOf(const Value& dictionary) {
    auto it = dictionary.find("options");
    return it == dictionary.end() ? Value() : *it;
}

std::optional<double> numberField(const Value& dictionary, const char* key) {
    auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

std::optional<std::string> textField(const Value& dictionary, const char* key) {
    auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

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
std::unique_ptr<icu::SimpleDateFormat> makeDateFormatter(const std::string& locale, WHDateStyles styles) {
    std::unique_ptr<icu::DateFormat> f(icu::DateFormat::createDateTimeInstance(
        icuDateStyle(styles.date), icuDateStyle(styles.time), icu::Locale(locale.c_str())));
    auto* simple = dynamic_cast<icu::SimpleDateFormat*>(f.get());
    if (!simple) return nullptr;
    f.release();
    std::unique_ptr<icu::SimpleDateFormat> out(simple);
    out->adoptTimeZone(icu::TimeZone::detectHostTimeZone());
    return out;
}

std::unique_ptr<icu::DecimalFormat> makeNumberFormatter(const std::string& locale, int style) {
    UNumberFormatStyle s = style == 2 ? UNUM_CURRENCY : style == 3 ? UNUM_PERCENT : UNUM_DECIMAL;
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

const char* envValue(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

}  // namespace

const WHPlugin::ActionTable& WHGlobalization::actions() const {
    static const ActionTable table{
        WH_ACTION(WHGlobalization, getPreferredLanguage), WH_ACTION(WHGlobalization, getLocaleName),
        WH_ACTION(WHGlobalization, dateToString),         WH_ACTION(WHGlobalization, stringToDate),
        WH_ACTION(WHGlobalization, getDatePattern),       WH_ACTION(WHGlobalization, getDateNames),
        WH_ACTION(WHGlobalization, isDayLightSavingsTime), WH_ACTION(WHGlobalization, getFirstDayOfWeek),
        WH_ACTION(WHGlobalization, numberToString),       WH_ACTION(WHGlobalization, stringToNumber),
        WH_ACTION(WHGlobalization, getNumberPattern),     WH_ACTION(WHGlobalization, getCurrencyPattern),
    };
    return table;
}

void WHGlobalization::pluginInitialize() { currentLocale_ = userLocaleIdentifier(); }

const std::string& WHGlobalization::formatterLocale() {
    if (currentLocale_.empty()) currentLocale_ = userLocaleIdentifier();
    return currentLocale_;
}

std::string WHGlobalization::icuLocaleFromPosix(const std::string& name) {
    std::string base = name, modifier;
    if (auto at = base.find('@'); at != std::string::npos) {
        modifier = base.substr(at + 1);
        base.erase(at);
    }
    if (auto dot = base.find('.'); dot != std::string::npos) base.erase(dot);
    if (base.empty() || base == "C" || base == "POSIX") return "en_US_POSIX";
    // Script modifiers become the script subtag; others ("euro") carry nothing ICU needs.
    const char* script = modifier == "latin" ? "Latn" : modifier == "cyrillic" ? "Cyrl" : nullptr;
    if (script) {
        auto us = base.find('_');
        base = us == std::string::npos ? base + "_" + script : base.substr(0, us) + "_" + script + base.substr(us);
    }
    icu::Locale loc = icu::Locale::createCanonical(base.c_str());
    if (loc.isBogus() || !*loc.getName()) return {};
    return loc.getName();
}

std::string WHGlobalization::userLocaleIdentifier() {
    for (const char* var : {"LC_ALL", "LC_TIME", "LANG"}) {
        if (const char* v = envValue(var)) return icuLocaleFromPosix(v);
    }
    return icuLocaleFromPosix("C");
}

std::string WHGlobalization::composePreferredLanguage(const std::string& language,
                                                      const std::string& localeIdentifier) {
    std::string out = language;
    if (out.size() < 3) {
        auto underscore = localeIdentifier.rfind('_');
        if (underscore != std::string::npos) {
            auto at = localeIdentifier.find('@');
            // A "_" inside the keywords is not a region separator.
            if (at == std::string::npos || underscore < at) {
                out += localeIdentifier.substr(underscore, at == std::string::npos ? std::string::npos : at - underscore);
            } else if (auto before = localeIdentifier.rfind('_', at); before != std::string::npos) {
                out += localeIdentifier.substr(before, at - before);
            }
        }
    }
    for (auto& c : out) {
        if (c == '_') c = '-';
    }
    return out;
}

WHDateStyles WHGlobalization::dateStyles(const Value& options) {
    int length = 1;
    if (auto l = textOption(options, "formatLength")) {
        if (*l == "short") length = 1;
        else if (*l == "medium") length = 2;
        else if (*l == "long") length = 3;
        else if (*l == "full") length = 4;
    }
    WHDateStyles styles;
    if (auto s = textOption(options, "selector")) {
        if (*s == "date") styles = {length, 0};
        else if (*s == "time") styles = {0, length};
        else if (*s == "date and time") styles = {length, length};
    }
    return styles;
}

int WHGlobalization::numberStyle(const Value& options) {
    if (auto t = textOption(options, "type")) {
        if (*t == "currency") return 2;
        if (*t == "percent") return 3;
    }
    return 1;
}

void WHGlobalization::send(const WHInvokedUrlCommand& command, int status, Value message) {
    if (!commandDelegate()) return;
    WHPluginResult result = message.is_string()
                                ? WHPluginResult::resultWithStatus(status, message.get<std::string>())
                                : WHPluginResult::resultWithStatusMessageAsDictionary(status, std::move(message));
    commandDelegate()->sendPluginResult(result, command.callbackId());
}

void WHGlobalization::sendError(const WHInvokedUrlCommand& command, int code, const char* message) {
    send(command, WHCommandStatus_ERROR, Value{{"code", code}, {"message", message}});
}

std::optional<Value> WHGlobalization::requireOptions(const WHInvokedUrlCommand& command) {
    Value options = command.argumentAtIndex(0, nullptr, ArgKind::Dictionary);
    if (options.is_null()) {
        send(command, WHCommandStatus_ERROR, "no options given");
        return std::nullopt;
    }
    return options;
}

void WHGlobalization::getPreferredLanguage(const WHInvokedUrlCommand& command) {
    auto languages = platform::Bundle::preferredLanguages();
    if (languages.empty() || languages.front().empty()) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    send(command, WHCommandStatus_OK,
         Value{{"value", composePreferredLanguage(languages.front(), userLocaleIdentifier())}});
}

void WHGlobalization::getLocaleName(const WHInvokedUrlCommand& command) {
    std::string id = userLocaleIdentifier();
    if (id.empty()) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    for (auto& c : id) {
        if (c == '_') c = '-';
    }
    send(command, WHCommandStatus_OK, Value{{"value", id}});
}

void WHGlobalization::dateToString(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto date = numberField(*args, "date");
    auto formatter = makeDateFormatter(formatterLocale(), dateStyles(optionsOf(*args)));
    if (!date || !formatter) return sendError(command, FORMATTING_ERROR, "Formatting error");
    icu::UnicodeString text;
    formatter->format(static_cast<UDate>(*date), text);
    send(command, WHCommandStatus_OK, Value{{"value", utf8(text)}});
}

void WHGlobalization::stringToDate(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto dateString = textField(*args, "dateString");
    auto formatter = makeDateFormatter(formatterLocale(), dateStyles(optionsOf(*args)));
    if (!dateString || !formatter) return sendError(command, PARSING_ERROR, "unable to parse");
    formatter->setLenient(true);
    icu::UnicodeString text = ustr(*dateString);
    std::unique_ptr<icu::Calendar> fields(formatter->getCalendar()->clone());
    if (!fields) return sendError(command, PARSING_ERROR, "unable to parse");
    fields->clear();
    icu::ParsePosition pos(0);
    formatter->parse(text, *fields, pos);
    if (!consumedAll(text, pos)) return sendError(command, PARSING_ERROR, "unable to parse");
    // The lenient parse takes any field values; a lenient calendar would roll "31.2." or a year
    // typed where the day goes into some other date. Such fields are a parse failure.
    fields->setLenient(false);
    UErrorCode fieldStatus = U_ZERO_ERROR;
    UDate date = fields->getTime(fieldStatus);
    if (U_FAILURE(fieldStatus)) return sendError(command, PARSING_ERROR, "unable to parse");

    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(
        icu::TimeZone::detectHostTimeZone(), icu::Locale(userLocaleIdentifier().c_str()), status));
    if (U_FAILURE(status) || !calendar) return sendError(command, PARSING_ERROR, "unable to parse");
    calendar->setTime(date, status);
    Value out = Value::object();
    out["year"] = calendar->get(UCAL_YEAR, status);
    out["month"] = calendar->get(UCAL_MONTH, status);
    out["day"] = calendar->get(UCAL_DATE, status);
    out["hour"] = calendar->get(UCAL_HOUR_OF_DAY, status);
    out["minute"] = calendar->get(UCAL_MINUTE, status);
    out["second"] = calendar->get(UCAL_SECOND, status);
    out["millisecond"] = 0;
    if (U_FAILURE(status)) return sendError(command, PARSING_ERROR, "unable to parse");
    send(command, WHCommandStatus_OK, std::move(out));
}

void WHGlobalization::getDatePattern(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto formatter = makeDateFormatter(formatterLocale(), dateStyles(optionsOf(*args)));
    if (!formatter) return sendError(command, PATTERN_ERROR, "Pattern error");
    icu::UnicodeString pattern;
    formatter->toPattern(pattern);
    const icu::TimeZone& zone = formatter->getTimeZone();
    UDate now = icu::Calendar::getNow();
    int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone.getOffset(now, false, raw, dst, status);
    if (pattern.isEmpty() || U_FAILURE(status)) return sendError(command, PATTERN_ERROR, "Pattern error");
    Value out = Value::object();
    out["pattern"] = utf8(pattern);
    out["timezone"] = zoneAbbreviation(zone, now, raw + dst, dst != 0, formatterLocale());
    out["utc_offset"] = (raw + dst) / 1000;
    out["dst_offset"] = dst / 1000.0;
    send(command, WHCommandStatus_OK, std::move(out));
}

void WHGlobalization::getDateNames(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    Value options = optionsOf(*args);
    bool narrow = textOption(options, "type") == std::optional<std::string>("narrow");
    bool days = textOption(options, "item") == std::optional<std::string>("days");
    auto formatter = makeDateFormatter(formatterLocale(), {4, 4});
    const icu::DateFormatSymbols* symbols = formatter ? formatter->getDateFormatSymbols() : nullptr;
    if (!symbols) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    auto width = narrow ? icu::DateFormatSymbols::ABBREVIATED : icu::DateFormatSymbols::WIDE;
    int32_t count = 0;
    const icu::UnicodeString* names = days ? symbols->getWeekdays(count, icu::DateFormatSymbols::FORMAT, width)
                                           : symbols->getMonths(count, icu::DateFormatSymbols::FORMAT, width);
    // Weekday lists are indexed by the calendar's day numbers, 1 = Sunday; entry 0 is empty.
    int32_t first = days ? 1 : 0;
    if (!names || count <= first) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    Value list = Value::array();
    for (int32_t i = first; i < count; ++i) list.push_back(utf8(names[i]));
    send(command, WHCommandStatus_OK, Value{{"value", list}});
}

void WHGlobalization::isDayLightSavingsTime(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto date = numberField(*args, "date");
    if (!date) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::detectHostTimeZone());
    int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    if (zone) zone->getOffset(static_cast<UDate>(*date), false, raw, dst, status);
    if (!zone || U_FAILURE(status)) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    send(command, WHCommandStatus_OK, Value{{"dst", dst != 0}});
}

void WHGlobalization::getFirstDayOfWeek(const WHInvokedUrlCommand& command) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(
        icu::Calendar::createInstance(icu::Locale(userLocaleIdentifier().c_str()), status));
    if (U_FAILURE(status) || !calendar) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    UCalendarDaysOfWeek first = calendar->getFirstDayOfWeek(status);
    if (U_FAILURE(status)) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    send(command, WHCommandStatus_OK, Value{{"value", static_cast<int>(first)}});
}

void WHGlobalization::numberToString(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto number = numberField(*args, "number");
    auto formatter = makeNumberFormatter(formatterLocale(), numberStyle(optionsOf(*args)));
    if (!number || !formatter) return sendError(command, FORMATTING_ERROR, "Unable to format");
    icu::UnicodeString text;
    formatter->format(*number, text);
    send(command, WHCommandStatus_OK, Value{{"value", utf8(text)}});
}

void WHGlobalization::stringToNumber(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto numberString = textField(*args, "numberString");
    int style = numberStyle(optionsOf(*args));
    auto formatter = makeNumberFormatter(formatterLocale(), style);
    if (!numberString || !formatter) return sendError(command, PARSING_ERROR, "Unable to parse");
    formatter->setLenient(style == 2);
    icu::UnicodeString text = ustr(*numberString);
    icu::Formattable value;
    icu::ParsePosition pos(0);
    formatter->parse(text, value, pos);
    UErrorCode status = U_ZERO_ERROR;
    double number = value.getDouble(status);
    if (!consumedAll(text, pos) || U_FAILURE(status)) return sendError(command, PARSING_ERROR, "Unable to parse");
    send(command, WHCommandStatus_OK, Value{{"value", number}});
}

void WHGlobalization::getNumberPattern(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    int style = numberStyle(optionsOf(*args));
    auto formatter = makeNumberFormatter(formatterLocale(), style);
    const icu::DecimalFormatSymbols* symbols = formatter ? formatter->getDecimalFormatSymbols() : nullptr;
    if (!symbols) return sendError(command, PATTERN_ERROR, "Pattern error");
    using S = icu::DecimalFormatSymbols;
    icu::UnicodeString pattern;
    formatter->toPattern(pattern);
    Value out = Value::object();
    out["pattern"] = utf8(pattern);
    out["symbol"] = style == 2 ? symbol(*symbols, S::kCurrencySymbol)
                    : style == 3 ? symbol(*symbols, S::kPercentSymbol)
                                 : std::string();
    out["fraction"] = formatter->getMinimumFractionDigits();
    out["rounding"] = formatter->getRoundingIncrement();
    out["positive"] = symbol(*symbols, S::kPlusSignSymbol);
    out["negative"] = symbol(*symbols, S::kMinusSignSymbol);
    out["decimal"] = symbol(*symbols, S::kDecimalSeparatorSymbol);
    out["grouping"] = symbol(*symbols, S::kGroupingSeparatorSymbol);
    send(command, WHCommandStatus_OK, std::move(out));
}

void WHGlobalization::getCurrencyPattern(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto code = textField(*args, "currencyCode");
    // ISO 4217: three letters, known to the currency data.
    std::string iso;
    if (code && code->size() == 3) {
        for (char c : *code) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (c < 'A' || c > 'Z') {
                iso.clear();
                break;
            }
            iso += c;
        }
    }
    if (iso.size() != 3) return sendError(command, PATTERN_ERROR, "Unable to get pattern");
    icu::UnicodeString isoText = ustr(iso);
    const UChar* iso16 = isoText.getTerminatedBuffer();
    UErrorCode status = U_ZERO_ERROR;
    bool known = ucurr_isAvailable(iso16, U_DATE_MIN, U_DATE_MAX, &status);
    int32_t fraction = ucurr_getDefaultFractionDigits(iso16, &status);
    double rounding = ucurr_getRoundingIncrement(iso16, &status);
    auto formatter = makeNumberFormatter(formatterLocale(), 2);
    if (!known || U_FAILURE(status) || !formatter) return sendError(command, PATTERN_ERROR, "Unable to get pattern");

    using S = icu::DecimalFormatSymbols;
    S symbols(*formatter->getDecimalFormatSymbols());
    symbols.setSymbol(S::kIntlCurrencySymbol, isoText);
    formatter->setDecimalFormatSymbols(symbols);
    formatter->setCurrency(iso16, status);
    if (U_FAILURE(status)) return sendError(command, PATTERN_ERROR, "Unable to get pattern");
    icu::UnicodeString pattern;
    formatter->toPattern(pattern);
    Value out = Value::object();
    out["pattern"] = utf8(pattern);
    out["code"] = *code;
    out["fraction"] = fraction;
    out["rounding"] = rounding;
    out["decimal"] = symbol(*formatter->getDecimalFormatSymbols(), S::kMonetarySeparatorSymbol);
    out["grouping"] = symbol(*formatter->getDecimalFormatSymbols(), S::kMonetaryGroupingSeparatorSymbol);
    send(command, WHCommandStatus_OK, std::move(out));
}
