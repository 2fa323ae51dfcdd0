#include "plugins/standard/WHGlobalization.h"

#include <cstdlib>

#include "bridge/WHCommandDelegate.h"
#include "platform/bundle.h"
#include "platform/locale_format.h"

WH_REGISTER_PLUGIN(WHGlobalization);

namespace {

enum ErrorCode { UNKNOWN_ERROR = 0, FORMATTING_ERROR = 1, PARSING_ERROR = 2, PATTERN_ERROR = 3 };

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

namespace loc = platform::locale;

loc::DateStyles styles(WHDateStyles s) { return {s.date, s.time}; }
loc::NumberStyle style(int s) { return static_cast<loc::NumberStyle>(s); }

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
    return loc::canonicalLocale(base);
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
    auto text = date ? loc::formatDate(formatterLocale(), styles(dateStyles(optionsOf(*args))), *date) : std::nullopt;
    if (!text) return sendError(command, FORMATTING_ERROR, "Formatting error");
    send(command, WHCommandStatus_OK, Value{{"value", *text}});
}

void WHGlobalization::stringToDate(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto dateString = textField(*args, "dateString");
    auto fields = dateString ? loc::parseDate(formatterLocale(), styles(dateStyles(optionsOf(*args))), *dateString,
                                              userLocaleIdentifier())
                             : std::nullopt;
    if (!fields) return sendError(command, PARSING_ERROR, "unable to parse");
    Value out = Value::object();
    out["year"] = fields->year;
    out["month"] = fields->month;
    out["day"] = fields->day;
    out["hour"] = fields->hour;
    out["minute"] = fields->minute;
    out["second"] = fields->second;
    out["millisecond"] = 0;
    send(command, WHCommandStatus_OK, std::move(out));
}

void WHGlobalization::getDatePattern(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto pattern = loc::datePattern(formatterLocale(), styles(dateStyles(optionsOf(*args))));
    if (!pattern) return sendError(command, PATTERN_ERROR, "Pattern error");
    Value out = Value::object();
    out["pattern"] = pattern->pattern;
    out["timezone"] = pattern->timezone;
    out["utc_offset"] = pattern->utcOffsetSeconds;
    out["dst_offset"] = pattern->dstOffsetSeconds;
    send(command, WHCommandStatus_OK, std::move(out));
}

void WHGlobalization::getDateNames(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    Value options = optionsOf(*args);
    bool narrow = textOption(options, "type") == std::optional<std::string>("narrow");
    bool days = textOption(options, "item") == std::optional<std::string>("days");
    auto names = loc::dateNames(formatterLocale(), days, narrow);
    if (!names) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    Value list = Value::array();
    for (auto& name : *names) list.push_back(std::move(name));
    send(command, WHCommandStatus_OK, Value{{"value", list}});
}

void WHGlobalization::isDayLightSavingsTime(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto date = numberField(*args, "date");
    auto dst = date ? loc::isDaylightSavingTime(*date) : std::nullopt;
    if (!dst) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    send(command, WHCommandStatus_OK, Value{{"dst", *dst}});
}

void WHGlobalization::getFirstDayOfWeek(const WHInvokedUrlCommand& command) {
    auto first = loc::firstDayOfWeek(userLocaleIdentifier());
    if (!first) return sendError(command, UNKNOWN_ERROR, "Unknown error");
    send(command, WHCommandStatus_OK, Value{{"value", *first}});
}

void WHGlobalization::numberToString(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto number = numberField(*args, "number");
    auto text = number ? loc::formatNumber(formatterLocale(), style(numberStyle(optionsOf(*args))), *number) : std::nullopt;
    if (!text) return sendError(command, FORMATTING_ERROR, "Unable to format");
    send(command, WHCommandStatus_OK, Value{{"value", *text}});
}

void WHGlobalization::stringToNumber(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto numberString = textField(*args, "numberString");
    auto number = numberString ? loc::parseNumber(formatterLocale(), style(numberStyle(optionsOf(*args))), *numberString)
                               : std::nullopt;
    if (!number) return sendError(command, PARSING_ERROR, "Unable to parse");
    send(command, WHCommandStatus_OK, Value{{"value", *number}});
}

void WHGlobalization::getNumberPattern(const WHInvokedUrlCommand& command) {
    auto args = requireOptions(command);
    if (!args) return;
    auto pattern = loc::numberPattern(formatterLocale(), style(numberStyle(optionsOf(*args))));
    if (!pattern) return sendError(command, PATTERN_ERROR, "Pattern error");
    Value out = Value::object();
    out["pattern"] = pattern->pattern;
    out["symbol"] = pattern->symbol;
    out["fraction"] = pattern->fraction;
    out["rounding"] = pattern->rounding;
    out["positive"] = pattern->positive;
    out["negative"] = pattern->negative;
    out["decimal"] = pattern->decimal;
    out["grouping"] = pattern->grouping;
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
    auto pattern = loc::currencyPattern(formatterLocale(), iso);
    if (!pattern) return sendError(command, PATTERN_ERROR, "Unable to get pattern");
    Value out = Value::object();
    out["pattern"] = pattern->pattern;
    out["code"] = *code;
    out["fraction"] = pattern->fraction;
    out["rounding"] = pattern->rounding;
    out["decimal"] = pattern->decimal;
    out["grouping"] = pattern->grouping;
    send(command, WHCommandStatus_OK, std::move(out));
}
