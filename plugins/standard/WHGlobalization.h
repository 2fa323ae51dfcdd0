// Dates, numbers and currencies formatted and parsed for the user's locale, and the locale's
// language, names, patterns and calendar facts. Every action answers at once.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "bridge/WHPlugin.h"

// Date styles: 0 none, 1 short, 2 medium, 3 long, 4 full. Number styles: 1 decimal, 2 currency,
// 3 percent.
struct WHDateStyles {
    int date = 1;
    int time = 1;
    bool operator==(const WHDateStyles&) const = default;
};

class WHGlobalization : public WHPlugin {
public:
    using WHPlugin::WHPlugin;

    const ActionTable& actions() const override;
    // Takes a copy of the user's locale; the formatters use it from then on.
    void pluginInitialize() override;

    void getPreferredLanguage(const WHInvokedUrlCommand& command);
    void getLocaleName(const WHInvokedUrlCommand& command);
    void dateToString(const WHInvokedUrlCommand& command);
    void stringToDate(const WHInvokedUrlCommand& command);
    void getDatePattern(const WHInvokedUrlCommand& command);
    void getDateNames(const WHInvokedUrlCommand& command);
    void isDayLightSavingsTime(const WHInvokedUrlCommand& command);
    void getFirstDayOfWeek(const WHInvokedUrlCommand& command);
    void numberToString(const WHInvokedUrlCommand& command);
    void stringToNumber(const WHInvokedUrlCommand& command);
    void getNumberPattern(const WHInvokedUrlCommand& command);
    void getCurrencyPattern(const WHInvokedUrlCommand& command);

    // The locale identifier the formatters use (ICU form, e.g. "de_AT").
    const std::string& currentLocale() const { return currentLocale_; }

    // The user's locale now, from the locale environment as the C library orders it for dates
    // (LC_ALL, LC_TIME, LANG); "en_US_POSIX" for the C locale.
    static std::string userLocaleIdentifier();
    // A POSIX locale name ("de_AT.UTF-8@euro") in ICU form ("de_AT").
    static std::string icuLocaleFromPosix(const std::string& name);
    // A short language completed with the region of the locale identifier, "_" turned into "-".
    static std::string composePreferredLanguage(const std::string& language, const std::string& localeIdentifier);
    // Styles from an "options" value ("formatLength", "selector").
    static WHDateStyles dateStyles(const Value& options);
    // Number style from an "options" value ("type").
    static int numberStyle(const Value& options);

private:
    void send(const WHInvokedUrlCommand& command, int status, Value message);
    void sendError(const WHInvokedUrlCommand& command, int code, const char* message);
    // Argument 0 as a dictionary; answers "no options given" and none when there is none.
    std::optional<Value> requireOptions(const WHInvokedUrlCommand& command);
    const std::string& formatterLocale();

    std::string currentLocale_;
};
