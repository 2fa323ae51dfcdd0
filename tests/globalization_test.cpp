// Locale formatting under fixed locales and time zones, so that answers are exact.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "plugins/standard/WHGlobalization.h"
#include "tests/support/recording_delegate.h"

namespace {

// NBSP and NARROW NBSP, as the locale data writes them.
const std::string NBSP = "\u00a0";
const std::string NNBSP = "\u202f";

// The locale environment and time zone for one case; restored afterwards.
class LocaleEnv {
public:
    LocaleEnv(const std::map<std::string, std::string>& vars, const char* tz) {
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_TIME", "LANG", "TZ"}) {
            const char* v = std::getenv(name);
            saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
            unsetenv(name);
        }
        for (const auto& [k, v] : vars) setenv(k.c_str(), v.c_str(), 1);
        if (tz) setenv("TZ", tz, 1);
    }
    ~LocaleEnv() {
        for (const auto& [k, v] : saved_) {
            if (v) setenv(k.c_str(), v->c_str(), 1);
            else unsetenv(k.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

struct Locale {
    const char* posix;
    const char* tz;
};
const Locale deAT{"de_AT.UTF-8", "Europe/Vienna"};
const Locale enUS{"en_US.UTF-8", "America/New_York"};
const Locale jaJP{"ja_JP.UTF-8", "Asia/Tokyo"};

// One action of a plug-in initialised under the locale.
testutil::RecordedResult ask(const Locale& loc, const std::string& action, Value args = Value::array()) {
    LocaleEnv env({{"LC_ALL", loc.posix}}, loc.tz);
    testutil::RecordingDelegate delegate;
    WHGlobalization plugin(nullptr);
    plugin.setCommandDelegate(&delegate);
    plugin.pluginInitialize();
    testutil::callAction(plugin, action, std::move(args));
    EXPECT_EQ(delegate.count(), 1u) << action;
    return delegate.last();
}

Value one(Value dictionary) { return Value::array({std::move(dictionary)}); }

Value error(int code, const char* message) { return Value{{"code", code}, {"message", message}}; }

}  // namespace

TEST(Globalization, DateToStringSelectorAndLength) {
    struct Case {
        Locale loc;
        Value options;
        std::string expected;
    } cases[] = {
        {deAT, {{"selector", "date"}, {"formatLength", "long"}}, "1. Jänner 1970"},
        {deAT, {{"selector", "date and time"}, {"formatLength", "full"}},
         "Donnerstag, 1. Jänner 1970 um 01:00:00 Mitteleuropäische Normalzeit"},
        {deAT, {{"selector", "time"}, {"formatLength", "medium"}}, "01:00:00"},
        // Without a known selector both styles stay short, whatever the length.
        {deAT, {{"formatLength", "full"}}, "01.01.70, 01:00"},
        {deAT, {{"selector", "weekday"}, {"formatLength", "long"}}, "01.01.70, 01:00"},
        // Options of other kinds are ignored.
        {deAT, {{"selector", "date"}, {"formatLength", 4}}, "01.01.70"},
        {deAT, "long", "01.01.70, 01:00"},
        {enUS, nullptr, "12/31/69, 7:00" + NNBSP + "PM"},
        {enUS, {{"selector", "date"}, {"formatLength", "medium"}}, "Dec 31, 1969"},
        {enUS, {{"selector", "time"}, {"formatLength", "long"}}, "7:00:00" + NNBSP + "PM EST"},
        {jaJP, {{"selector", "date"}, {"formatLength", "long"}}, "1970年1月1日"},
        {jaJP, {{"selector", "date"}, {"formatLength", "full"}}, "1970年1月1日木曜日"},
        {jaJP, {{"selector", "time"}, {"formatLength", "full"}}, "9時00分00秒 日本標準時"},
    };
    for (const auto& c : cases) {
        auto r = ask(c.loc, "dateToString", one({{"date", 0}, {"options", c.options}}));
        EXPECT_EQ(r.status(), WHCommandStatus_OK) << c.loc.posix << " " << c.options.dump();
        EXPECT_EQ(r.message(), (Value{{"value", c.expected}})) << c.loc.posix << " " << c.options.dump();
    }
}

TEST(Globalization, StylesFromOptions) {
    struct Case {
        Value options;
        WHDateStyles expected;
    } cases[] = {
        {nullptr, {1, 1}},
        {{{"selector", "date"}}, {1, 0}},
        {{{"selector", "time"}, {"formatLength", "full"}}, {0, 4}},
        {{{"selector", "date and time"}, {"formatLength", "medium"}}, {2, 2}},
        {{{"selector", "date"}, {"formatLength", "huge"}}, {1, 0}},
        {{{"selector", "DATE"}, {"formatLength", "long"}}, {1, 1}},
    };
    for (const auto& c : cases) EXPECT_EQ(WHGlobalization::dateStyles(c.options), c.expected) << c.options.dump();
}

TEST(Globalization, StringToDateCountsMonthsFromZero) {
    auto fields = [](int y, int mo, int d, int h, int mi) {
        return Value{{"year", y}, {"month", mo}, {"day", d}, {"hour", h}, {"minute", mi}, {"second", 0},
                     {"millisecond", 0}};
    };
    struct Case {
        Locale loc;
        std::string text;
        Value options;
        Value expected;
    } cases[] = {
        {deAT, "5.3.24", {{"selector", "date"}}, fields(2024, 2, 5, 0, 0)},
        {deAT, "5. März 2024", {{"selector", "date"}, {"formatLength", "long"}}, fields(2024, 2, 5, 0, 0)},
        {deAT, "1. Jänner 1970", {{"selector", "date"}, {"formatLength", "long"}}, fields(1970, 0, 1, 0, 0)},
        {enUS, "3/5/24", {{"selector", "date"}}, fields(2024, 2, 5, 0, 0)},
        {enUS, "12/31/69, 7:30" + NNBSP + "PM", nullptr, fields(1969, 11, 31, 19, 30)},
        {jaJP, "2024/03/05", {{"selector", "date"}}, fields(2024, 2, 5, 0, 0)},
        {jaJP, "1970年12月1日", {{"selector", "date"}, {"formatLength", "long"}}, fields(1970, 11, 1, 0, 0)},
    };
    for (const auto& c : cases) {
        auto r = ask(c.loc, "stringToDate", one({{"dateString", c.text}, {"options", c.options}}));
        EXPECT_EQ(r.status(), WHCommandStatus_OK) << c.loc.posix << " " << c.text;
        EXPECT_EQ(r.message(), c.expected) << c.loc.posix << " " << c.text;
    }
}

TEST(Globalization, StringToDateRejectsWhatIsNoDate) {
    struct Case {
        Locale loc;
        Value dateString;
    } cases[] = {
        {deAT, "31.2.24"},     // no 31 February; a lenient calendar would answer 2 March
        {deAT, "2024/03/05"},  // the year where the day goes
        {deAT, "5.3.24 und"},  // text left over
        {enUS, "tomorrow"},
        {enUS, ""},
        {enUS, 20240305},
        {jaJP, nullptr},
    };
    for (const auto& c : cases) {
        Value args = c.dateString.is_null() ? Value{{"options", {{"selector", "date"}}}}
                                            : Value{{"dateString", c.dateString}, {"options", {{"selector", "date"}}}};
        auto r = ask(c.loc, "stringToDate", one(args));
        EXPECT_EQ(r.status(), WHCommandStatus_ERROR) << c.dateString.dump();
        EXPECT_EQ(r.message(), error(2, "unable to parse")) << c.dateString.dump();
    }
}

TEST(Globalization, DateNames) {
    struct Case {
        Locale loc;
        Value options;
        Value expected;
    } cases[] = {
        {deAT, nullptr,
         {"Jänner", "Februar", "März", "April", "Mai", "Juni", "Juli", "August", "September", "Oktober", "November",
          "Dezember"}},
        {deAT, {{"item", "days"}, {"type", "narrow"}}, {"So.", "Mo.", "Di.", "Mi.", "Do.", "Fr.", "Sa."}},
        {deAT, {{"type", "narrow"}},
         {"Jän.", "Feb.", "März", "Apr.", "Mai", "Juni", "Juli", "Aug.", "Sep.", "Okt.", "Nov.", "Dez."}},
        {enUS, {{"item", "days"}}, {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"}},
        {enUS, {{"item", "days"}, {"type", "narrow"}}, {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"}},
        {jaJP, {{"item", "days"}}, {"日曜日", "月曜日", "火曜日", "水曜日", "木曜日", "金曜日", "土曜日"}},
        {jaJP, {{"item", "months"}, {"type", "wide"}},
         {"1月", "2月", "3月", "4月", "5月", "6月", "7月", "8月", "9月", "10月", "11月", "12月"}},
    };
    for (const auto& c : cases) {
        auto r = ask(c.loc, "getDateNames", one({{"options", c.options}}));
        EXPECT_EQ(r.status(), WHCommandStatus_OK);
        EXPECT_EQ(r.message(), (Value{{"value", c.expected}})) << c.loc.posix << " " << c.options.dump();
    }
}

TEST(Globalization, DatePatternAndZone) {
    auto r = ask(jaJP, "getDatePattern", one({{"options", {{"selector", "date"}, {"formatLength", "long"}}}}));
    EXPECT_EQ(r.status(), WHCommandStatus_OK);
    EXPECT_EQ(r.message(),
              (Value{{"pattern", "y年M月d日"}, {"timezone", "JST"}, {"utc_offset", 32400}, {"dst_offset", 0.0}}));

    r = ask({"en_US.UTF-8", "UTC"}, "getDatePattern", one(Value::object()));
    EXPECT_EQ(r.message(),
              (Value{{"pattern", "M/d/yy, h:mm" + NNBSP + "a"}, {"timezone", "UTC"}, {"utc_offset", 0}, {"dst_offset", 0.0}}));

    // Vienna's answer depends on the season of the test run; its parts must agree.
    r = ask(deAT, "getDatePattern", one({{"options", {{"selector", "time"}}}}));
    ASSERT_EQ(r.status(), WHCommandStatus_OK);
    EXPECT_EQ(r.message().value()["pattern"], "HH:mm");
    bool summer = r.message().value()["dst_offset"] == 3600.0;
    EXPECT_EQ(r.message().value()["timezone"], summer ? "CEST" : "CET");
    EXPECT_EQ(r.message().value()["utc_offset"], summer ? 7200 : 3600);
    EXPECT_TRUE(r.message().value()["dst_offset"].is_number_float());
}

TEST(Globalization, CalendarFacts) {
    const double july2024 = 1720000000000.0, january2024 = 1705000000000.0;
    EXPECT_EQ(ask(deAT, "isDayLightSavingsTime", one({{"date", july2024}})).message(), (Value{{"dst", true}}));
    EXPECT_EQ(ask(deAT, "isDayLightSavingsTime", one({{"date", january2024}})).message(), (Value{{"dst", false}}));
    EXPECT_EQ(ask(jaJP, "isDayLightSavingsTime", one({{"date", july2024}})).message(), (Value{{"dst", false}}));
    EXPECT_EQ(ask(deAT, "isDayLightSavingsTime", one({{"date", "today"}})).message(), error(0, "Unknown error"));

    EXPECT_EQ(ask(deAT, "getFirstDayOfWeek").message(), (Value{{"value", 2}}));
    EXPECT_EQ(ask(enUS, "getFirstDayOfWeek").message(), (Value{{"value", 1}}));
    EXPECT_EQ(ask(jaJP, "getFirstDayOfWeek").message(), (Value{{"value", 1}}));
}

TEST(Globalization, PreferredLanguageComposition) {
    struct Case {
        const char* language;
        const char* locale;
        const char* expected;
    } cases[] = {
        {"de", "de_AT", "de-AT"},
        {"en-GB", "de_AT", "en-GB"},
        {"ja", "ja_JP", "ja-JP"},
        {"de", "de", "de"},
        {"sr", "sr_Latn_RS", "sr-RS"},
        {"ja", "ja_JP@calendar=japanese", "ja-JP"},
        {"en", "en_US_POSIX", "en-POSIX"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WHGlobalization::composePreferredLanguage(c.language, c.locale), c.expected) << c.language;
}

TEST(Globalization, LanguageAndLocaleFromTheEnvironment) {
    struct Case {
        std::map<std::string, std::string> env;
        const char* language;
        const char* localeName;
    } cases[] = {
        {{{"LANGUAGE", "de"}, {"LANG", "de_AT.UTF-8"}}, "de-AT", "de-AT"},
        {{{"LANGUAGE", "en_GB:de"}, {"LC_ALL", "de_AT.UTF-8"}}, "en-GB", "de-AT"},
        {{{"LANG", "ja_JP.UTF-8"}}, "ja-JP", "ja-JP"},
        // Dates follow LC_TIME, languages LC_MESSAGES; LC_ALL overrides both.
        {{{"LANG", "en_US.UTF-8"}, {"LC_TIME", "de_AT.UTF-8"}}, "en-US", "de-AT"},
        {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "ja_JP.UTF-8"}}, "ja-JP", "en-US"},
        {{{"LC_ALL", "de_AT.UTF-8@euro"}, {"LC_TIME", "ja_JP.UTF-8"}}, "de-AT", "de-AT"},
        {{{"LANG", "sr_RS.UTF-8@latin"}}, "sr-RS", "sr-Latn-RS"},
    };
    for (const auto& c : cases) {
        LocaleEnv env(c.env, "UTC");
        testutil::RecordingDelegate delegate;
        WHGlobalization plugin(nullptr);
        plugin.setCommandDelegate(&delegate);
        plugin.pluginInitialize();
        testutil::callAction(plugin, "getPreferredLanguage");
        EXPECT_EQ(delegate.last().message(), (Value{{"value", c.language}})) << c.env.begin()->second;
        testutil::callAction(plugin, "getLocaleName");
        EXPECT_EQ(delegate.last().message(), (Value{{"value", c.localeName}})) << c.env.begin()->second;
    }
}

TEST(Globalization, PreferredLanguagesInTheOrderGettextUses) {
    struct Case {
        std::map<std::string, std::string> env;
        std::vector<std::string> languages;
    } cases[] = {
        {{{"LANG", "de_AT.UTF-8@euro"}}, {"de-AT", "de"}},
        {{{"LANGUAGE", "fr_CA:it"}, {"LANG", "de_AT.UTF-8"}}, {"fr-CA", "fr", "it"}},
        {{{"LANGUAGE", "fr"}, {"LC_ALL", "ja_JP.UTF-8"}, {"LC_MESSAGES", "de_DE.UTF-8"}}, {"fr"}},
        {{{"LC_ALL", "ja_JP.UTF-8"}, {"LC_MESSAGES", "de_DE.UTF-8"}, {"LANG", "it_IT.UTF-8"}}, {"ja-JP", "ja"}},
        {{{"LC_MESSAGES", "sr_RS.UTF-8@latin"}, {"LANG", "it_IT.UTF-8"}}, {"sr-RS", "sr"}},
        {{{"LANGUAGE", "de"}, {"LC_ALL", "C.UTF-8"}}, {"en"}},  // under the C locale LANGUAGE does not count
        {{{"LANG", "POSIX"}}, {"en"}},
        {{}, {"en"}},
    };
    for (const auto& c : cases) {
        LocaleEnv env(c.env, "UTC");
        EXPECT_EQ(platform::Bundle::preferredLanguages(), c.languages) << testing::PrintToString(c.env);
    }
}

TEST(Globalization, FormattersKeepTheLocaleOfInitialisation) {
    LocaleEnv env({{"LC_ALL", "de_AT.UTF-8"}}, "Europe/Vienna");
    testutil::RecordingDelegate delegate;
    WHGlobalization plugin(nullptr);
    plugin.setCommandDelegate(&delegate);
    plugin.pluginInitialize();
    setenv("LC_ALL", "en_US.UTF-8", 1);
    testutil::callAction(plugin, "dateToString",
                         one({{"date", 0}, {"options", {{"selector", "date"}, {"formatLength", "long"}}}}));
    EXPECT_EQ(delegate.last().message(), (Value{{"value", "1. Jänner 1970"}}));
    testutil::callAction(plugin, "getLocaleName");
    EXPECT_EQ(delegate.last().message(), (Value{{"value", "en-US"}}));
    testutil::callAction(plugin, "getFirstDayOfWeek");
    EXPECT_EQ(delegate.last().message(), (Value{{"value", 1}}));
}

TEST(Globalization, NumbersAndCurrencies) {
    struct Case {
        Locale loc;
        double number;
        const char* type;
        std::string expected;
    } cases[] = {
        {deAT, 1234567.891, "decimal", "1" + NBSP + "234" + NBSP + "567,891"},
        {deAT, 1234567.891, "currency", "€" + NBSP + "1.234.567,89"},
        {deAT, 0.256, "percent", "26" + NBSP + "%"},
        {deAT, -1.5, nullptr, "-1,5"},
        {enUS, 1234567.891, "decimal", "1,234,567.891"},
        {enUS, 1234567.891, "currency", "$1,234,567.89"},
        {enUS, 0.256, "percent", "26%"},
        {enUS, 2.0, "scientific", "2"},
        {jaJP, 1234567.891, "currency", "￥1,234,568"},
    };
    for (const auto& c : cases) {
        Value args{{"number", c.number}};
        if (c.type) args["options"] = {{"type", c.type}};
        auto r = ask(c.loc, "numberToString", one(args));
        EXPECT_EQ(r.status(), WHCommandStatus_OK);
        EXPECT_EQ(r.message(), (Value{{"value", c.expected}})) << c.loc.posix << " " << c.number;
    }
    EXPECT_EQ(ask(enUS, "numberToString", one({{"number", "12"}})).message(), error(1, "Unable to format"));
}

TEST(Globalization, StringToNumber) {
    struct Case {
        Locale loc;
        Value text;
        const char* type;
        std::optional<double> expected;
    } cases[] = {
        {deAT, "1" + NBSP + "234,5", nullptr, 1234.5},
        {deAT, "-0,25", "decimal", -0.25},
        {deAT, "26" + NBSP + "%", "percent", 0.26},
        {deAT, "€ 12,50", "currency", 12.5},  // lenient: a plain blank for the pattern's NBSP
        {enUS, "1,234.5", nullptr, 1234.5},
        {enUS, "50%", "percent", 0.5},
        {enUS, "$3.99", "currency", 3.99},
        {jaJP, "￥1,235", "currency", 1235.0},
        {enUS, "1,234.5", "percent", std::nullopt},
        {enUS, "12abc", nullptr, std::nullopt},
        {enUS, "", nullptr, std::nullopt},
        {deAT, 12, nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        Value args{{"numberString", c.text}};
        if (c.type) args["options"] = {{"type", c.type}};
        auto r = ask(c.loc, "stringToNumber", one(args));
        if (c.expected) {
            EXPECT_EQ(r.status(), WHCommandStatus_OK) << c.text.dump();
            ASSERT_TRUE(r.message().value()["value"].is_number()) << c.text.dump();
            EXPECT_DOUBLE_EQ(r.message().value()["value"].get<double>(), *c.expected) << c.text.dump();
        } else {
            EXPECT_EQ(r.status(), WHCommandStatus_ERROR) << c.text.dump();
            EXPECT_EQ(r.message(), error(2, "Unable to parse")) << c.text.dump();
        }
    }
}

TEST(Globalization, NumberPatterns) {
    struct Case {
        Locale loc;
        const char* type;
        Value expected;
    } cases[] = {
        {deAT, "currency",
         {{"pattern", "¤" + NBSP + "#,##0.00"}, {"symbol", "€"}, {"fraction", 2}, {"rounding", 0.0}, {"positive", "+"},
          {"negative", "-"}, {"decimal", ","}, {"grouping", NBSP}}},
        {deAT, "percent",
         {{"pattern", "#,##0" + NBSP + "%"}, {"symbol", "%"}, {"fraction", 0}, {"rounding", 0.0}, {"positive", "+"},
          {"negative", "-"}, {"decimal", ","}, {"grouping", NBSP}}},
        {enUS, nullptr,
         {{"pattern", "#,##0.###"}, {"symbol", ""}, {"fraction", 0}, {"rounding", 0.0}, {"positive", "+"},
          {"negative", "-"}, {"decimal", "."}, {"grouping", ","}}},
        {jaJP, "currency",
         {{"pattern", "¤#,##0"}, {"symbol", "￥"}, {"fraction", 0}, {"rounding", 0.0}, {"positive", "+"},
          {"negative", "-"}, {"decimal", "."}, {"grouping", ","}}},
    };
    for (const auto& c : cases) {
        Value args = Value::object();
        if (c.type) args["options"] = {{"type", c.type}};
        auto r = ask(c.loc, "getNumberPattern", one(args));
        EXPECT_EQ(r.status(), WHCommandStatus_OK);
        EXPECT_EQ(r.message(), c.expected) << c.loc.posix << " " << (c.type ? c.type : "");
    }
}

TEST(Globalization, CurrencyPatterns) {
    struct Case {
        Locale loc;
        Value code;
        Value expected;
    } cases[] = {
        // Austria groups numbers with NBSP but money with a point.
        {deAT, "EUR",
         {{"pattern", "¤" + NBSP + "#,##0.00"}, {"code", "EUR"}, {"fraction", 2}, {"rounding", 0.0}, {"decimal", ","},
          {"grouping", "."}}},
        {enUS, "JPY",
         {{"pattern", "¤#,##0"}, {"code", "JPY"}, {"fraction", 0}, {"rounding", 0.0}, {"decimal", "."},
          {"grouping", ","}}},
        {jaJP, "usd",
         {{"pattern", "¤#,##0.00"}, {"code", "usd"}, {"fraction", 2}, {"rounding", 0.0}, {"decimal", "."},
          {"grouping", ","}}},
        {enUS, "KWD",
         {{"pattern", "¤#,##0.000"}, {"code", "KWD"}, {"fraction", 3}, {"rounding", 0.0}, {"decimal", "."},
          {"grouping", ","}}},
    };
    for (const auto& c : cases) {
        auto r = ask(c.loc, "getCurrencyPattern", one({{"currencyCode", c.code}}));
        EXPECT_EQ(r.status(), WHCommandStatus_OK);
        EXPECT_EQ(r.message(), c.expected) << c.code.dump();
    }
    for (Value bad : {Value("XYZ"), Value("EURO"), Value("E1R"), Value(""), Value(978), Value()}) {
        Value args = bad.is_null() ? Value::object() : Value{{"currencyCode", bad}};
        auto r = ask(enUS, "getCurrencyPattern", one(args));
        EXPECT_EQ(r.status(), WHCommandStatus_ERROR) << bad.dump();
        EXPECT_EQ(r.message(), error(3, "Unable to get pattern")) << bad.dump();
    }
}

TEST(Globalization, NoOptionsGiven) {
    for (const char* action : {"dateToString", "stringToDate", "getDatePattern", "getDateNames",
                               "isDayLightSavingsTime", "numberToString", "stringToNumber", "getNumberPattern",
                               "getCurrencyPattern"}) {
        for (Value args : {Value::array(), Value::array({nullptr}), Value::array({"date"})}) {
            auto r = ask(enUS, action, args);
            EXPECT_EQ(r.status(), WHCommandStatus_ERROR) << action << " " << args.dump();
            EXPECT_EQ(r.message(), "no options given") << action << " " << args.dump();
        }
    }
    // Those that take no arguments answer anyway.
    for (const char* action : {"getPreferredLanguage", "getLocaleName", "getFirstDayOfWeek"})
        EXPECT_EQ(ask(enUS, action).status(), WHCommandStatus_OK) << action;
}

TEST(Globalization, MissingValuesAreErrorsOfTheirAction) {
    EXPECT_EQ(ask(deAT, "dateToString", one(Value::object())).message(), error(1, "Formatting error"));
    EXPECT_EQ(ask(deAT, "dateToString", one({{"date", "1970-01-01"}})).message(), error(1, "Formatting error"));
    EXPECT_EQ(ask(deAT, "numberToString", one(Value::object())).message(), error(1, "Unable to format"));
    EXPECT_EQ(ask(deAT, "stringToNumber", one(Value::object())).message(), error(2, "Unable to parse"));
    EXPECT_EQ(ask(deAT, "isDayLightSavingsTime", one(Value::object())).message(), error(0, "Unknown error"));
}
