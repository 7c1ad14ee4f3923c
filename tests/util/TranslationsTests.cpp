// The catalogs in po/ against the template and the languages' rules, and the lookup that reads
// them at run time.
#include "ScopedEnvironment.h"
#include "support/TestSupport.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"

#include <gtest/gtest.h>
#include <unicode/messagepattern.h>
#include <unicode/msgfmt.h>
#include <unicode/plurrule.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace quillo::util;

namespace {

const std::string kPoDir = QUILLO_SOURCE_DIR "/po";

struct PoEntry {
    std::string context, id, text;
    bool hasContext = false, fuzzy = false;
    std::string where() const { return (hasContext ? context : "(no context)") + " \"" + id.substr(0, 40) + "\""; }
};

std::string unquote(const std::string& line) {
    const std::size_t a = line.find('"'), b = line.rfind('"');
    std::string out;
    for (std::size_t i = a + 1; i < b; ++i) {
        if (line[i] != '\\' || i + 1 >= b) {
            out += line[i];
            continue;
        }
        const char e = line[++i];
        out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
    }
    return out;
}

// The live entries of a PO file (not the header, not the obsolete "#~" ones).
std::vector<PoEntry> readPo(const std::string& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::vector<PoEntry> entries;
    PoEntry entry;
    std::string* field = nullptr;
    bool fuzzy = false, any = false;
    auto finish = [&] {
        if (any && !(entry.id.empty() && !entry.hasContext)) entries.push_back(entry);
        entry = PoEntry{};
        field = nullptr;
        fuzzy = any = false;
    };
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) {
            finish();
        } else if (line.rfind("#,", 0) == 0) {
            fuzzy = fuzzy || line.find("fuzzy") != std::string::npos;
        } else if (line[0] == '#') {
            continue;
        } else if (line.rfind("msgctxt ", 0) == 0) {
            entry.hasContext = any = true;
            entry.context = unquote(line);
            field = &entry.context;
        } else if (line.rfind("msgid ", 0) == 0) {
            entry.id = unquote(line);
            entry.fuzzy = fuzzy;
            field = &entry.id;
            any = true;
        } else if (line.rfind("msgstr", 0) == 0) {
            entry.text = unquote(line);
            field = &entry.text;
        } else if (line[0] == '"' && field) {
            *field += unquote(line);
        }
    }
    finish();
    return entries;
}

std::vector<std::string> languages() {
    std::ifstream in(kPoDir + "/LINGUAS");
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') out.push_back(line);
    return out;
}

// The languages whose catalog exists (the others are still being written).
std::vector<std::string> deliveredLanguages() {
    std::vector<std::string> out;
    for (const auto& lang : languages())
        if (std::ifstream(kPoDir + "/" + lang + ".po")) out.push_back(lang);
    return out;
}

// The argument numbers a text's "%@" / "%N$@" slots take, sorted.
std::vector<int> slots(const std::string& text) {
    std::vector<int> out;
    int next = 1;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (text[i + 1] == '%') {
            ++i;
        } else if (text[i + 1] == '@') {
            out.push_back(next++);
        } else {
            std::size_t j = i + 1;
            int n = 0;
            while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) n = n * 10 + (text[j++] - '0');
            if (j + 1 < text.size() && j > i + 1 && text[j] == '$' && text[j + 1] == '@') out.push_back(n);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// An ICU pattern's arguments: name -> its kind ("plural", "select", "simple") and selectors.
struct Argument {
    std::string kind;
    std::set<std::string> selectors;
};

bool readPattern(const std::string& text, std::map<std::string, Argument>& args, std::string& error) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    icu::MessagePattern pattern(icu::UnicodeString::fromUTF8(text), &parseError, status);
    if (U_FAILURE(status)) {
        error = std::string("not an ICU message pattern: ") + u_errorName(status) + " at " +
                std::to_string(parseError.offset);
        return false;
    }
    std::vector<std::string> open;
    for (int32_t i = 0; i < pattern.countParts(); ++i) {
        const icu::MessagePattern::Part& part = pattern.getPart(i);
        std::string sub;
        pattern.getSubstring(part).toUTF8String(sub);
        switch (part.getType()) {
            case UMSGPAT_PART_TYPE_ARG_START: {
                const auto& name = pattern.getPart(i + 1);
                std::string argName;
                pattern.getSubstring(name).toUTF8String(argName);
                open.push_back(argName);
                const auto type = part.getArgType();
                args[argName].kind = type == UMSGPAT_ARG_TYPE_PLURAL ? "plural" : type == UMSGPAT_ARG_TYPE_SELECT ? "select" : "simple";
                break;
            }
            case UMSGPAT_PART_TYPE_ARG_LIMIT: open.pop_back(); break;
            case UMSGPAT_PART_TYPE_ARG_SELECTOR: args[open.back()].selectors.insert(sub); break;
            default: break;
        }
    }
    return true;
}

std::set<std::string> pluralCategories(const std::string& language) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::PluralRules> rules(icu::PluralRules::forLocale(icu::Locale(language.c_str()), status));
    std::unique_ptr<icu::StringEnumeration> keywords(rules->getKeywords(status));
    std::set<std::string> out;
    while (const char* k = keywords->next(nullptr, status)) out.insert(k);
    return out;
}

std::string joined(const std::set<std::string>& s) {
    std::string out;
    for (const auto& x : s) out += (out.empty() ? "" : " ") + x;
    return out;
}

// The "%@" slots of every text a pattern can give, formatted in `language` with counts that reach
// every plural form: a slot written once per plural branch is one slot of the shown text.
std::set<std::vector<int>> shownSlots(const std::string& language, const std::string& text,
                                      const std::map<std::string, Argument>& args) {
    if (args.empty()) return {slots(text)};
    UErrorCode status = U_ZERO_ERROR;
    icu::MessageFormat format(icu::UnicodeString::fromUTF8(text), icu::Locale(language.c_str()), status);
    if (U_FAILURE(status)) return {slots(text)};
    std::set<std::vector<int>> out;
    for (double n : {0.0, 1.0, 2.0, 3.0, 5.0, 11.0, 12.0, 21.0, 22.0, 100.0, 101.0, 102.0, 1000000.0, 1.5}) {
        std::vector<icu::UnicodeString> names;
        std::vector<icu::Formattable> values;
        for (const auto& [name, a] : args) {
            names.push_back(icu::UnicodeString::fromUTF8(name));
            if (a.kind == "plural") values.emplace_back(n);
            else values.emplace_back(icu::UnicodeString(a.kind == "select" ? u"other" : u"x"));
        }
        icu::UnicodeString shown;
        status = U_ZERO_ERROR;
        format.format(names.data(), values.data(), int32_t(names.size()), shown, status);
        std::string utf8;
        if (U_SUCCESS(status)) out.insert(slots(shown.toUTF8String(utf8)));
    }
    return out;
}

// What is wrong with a translation of `english` into `language`; empty when nothing is.
std::string translationFault(const std::string& language, const std::string& english, const std::string& text) {
    if (english.find('{') == std::string::npos)
        return slots(english) == slots(text) ? std::string() : "its %@ slots differ from the English text's";
    std::map<std::string, Argument> want, got;
    std::string error;
    if (!readPattern(english, want, error)) return "the English text: " + error;
    if (!readPattern(text, got, error)) return error;
    // Every text the translation shows takes the slots some English text takes.
    const auto english_shown = shownSlots("en", english, want);
    for (const auto& shown : shownSlots(language, text, got))
        if (!english_shown.count(shown)) return "its %@ slots differ from the English text's";
    std::set<std::string> wantNames, gotNames;
    for (const auto& [name, a] : want) wantNames.insert(name);
    for (const auto& [name, a] : got) gotNames.insert(name);
    if (wantNames != gotNames) return "arguments {" + joined(gotNames) + "} instead of {" + joined(wantNames) + "}";
    const std::set<std::string> categories = pluralCategories(language);
    for (const auto& [name, a] : want) {
        const Argument& t = got[name];
        if (t.kind != a.kind) return name + " is " + t.kind + " instead of " + a.kind;
        if (a.kind == "select" && t.selectors != a.selectors)
            return name + "'s choices {" + joined(t.selectors) + "} instead of {" + joined(a.selectors) + "}";
        if (a.kind != "plural") continue;
        std::set<std::string> keywords;
        for (const auto& s : t.selectors)
            if (s[0] != '=') keywords.insert(s);
        if (keywords != categories)
            return name + "'s plural forms {" + joined(keywords) + "} instead of " + language + "'s {" + joined(categories) + "}";
    }
    return {};
}

}  // namespace

// A catalog made before a text was added, changed or removed: the new text would show in
// English, and a removed one would be translated for nothing (or, if its key comes back with
// another meaning, wrongly).
TEST(UtilTranslations, CatalogsHaveExactlyTheTemplatesEntries) {
    std::set<std::pair<std::string, std::string>> wanted;
    for (const auto& e : readPo(kPoDir + "/quillo.pot")) wanted.insert({e.context, e.id});
    ASSERT_GT(wanted.size(), 200u);
    for (const auto& lang : deliveredLanguages()) {
        std::set<std::pair<std::string, std::string>> have;
        for (const auto& e : readPo(kPoDir + "/" + lang + ".po")) {
            EXPECT_TRUE(have.insert({e.context, e.id}).second) << lang << ".po: twice: " << e.where();
            EXPECT_TRUE(wanted.count({e.context, e.id})) << lang << ".po: obsolete (not in quillo.pot): " << e.where();
        }
        for (const auto& w : wanted)
            EXPECT_TRUE(have.count(w)) << lang << ".po: missing: " << w.first << " \"" << w.second.substr(0, 40) << "\"";
    }
}

// A translation that drops or adds a slot, renames an argument, or lacks a plural form its
// language needs (Polish "few", Arabic "two") shows a wrong or broken text.
TEST(UtilTranslations, PlaceholdersAndPluralFormsFitTheLanguage) {
    // The check itself, on faults a translator could make.
    EXPECT_EQ(translationFault("de", "Erase “%@”?", "„%@“ löschen?"), "");
    EXPECT_EQ(translationFault("de", "%@ of %@", "%2$@ von %1$@"), "");
    EXPECT_NE(translationFault("de", "%@ of %@", "%@ von"), "");
    EXPECT_NE(translationFault("de", "{count, plural, one {# item} other {# items}}, {size}",
                               "{count, plural, one {# Objekt} other {# Objekte}}, {grösse}"),
              "");
    EXPECT_NE(translationFault("pl", "{count, plural, one {# item} other {# items}}",
                               "{count, plural, one {# plik} other {# plików}}"),
              "");
    // A name written once in each branch is one slot of the shown text, whatever the number of
    // branches; a branch that loses it is a fault.
    EXPECT_EQ(translationFault("ja", "{count, plural, one {# item: %@} other {# items: %@}}", "{count, plural, other {#件: %@}}"), "");
    EXPECT_NE(translationFault("pl", "{count, plural, one {# item: %@} other {# items: %@}}",
                               "{count, plural, one {# plik: %@} few {# pliki} many {# plików: %@} other {# pliku: %@}}"),
              "");
    EXPECT_EQ(translationFault("pl", "{count, plural, one {# item} other {# items}}",
                               "{count, plural, =0 {brak} one {# plik} few {# pliki} many {# plików} other {# pliku}}"),
              "");
    EXPECT_NE(translationFault("ja", "{count, plural, one {# item} other {# items}}",
                               "{count, plural, one {#個} other {#個}}"),
              "");
    EXPECT_NE(translationFault("de", "{count, plural, one {# item} other {# items}}", "{count, plural, one {# Objekt}"), "");

    for (const auto& lang : deliveredLanguages())
        for (const auto& e : readPo(kPoDir + "/" + lang + ".po")) {
            if (e.text.empty()) continue;
            const std::string fault = translationFault(lang, e.id, e.text);
            EXPECT_EQ(fault, "") << lang << ".po: " << e.where();
        }
}

// Separate from the checks above, so that a language still being translated can be merged:
// the release needs every language of LINGUAS complete, nothing fuzzy.
TEST(UtilTranslations, Complete) {
    for (const auto& lang : languages()) {
        const std::string path = kPoDir + "/" + lang + ".po";
        if (!std::ifstream(path)) {
            ADD_FAILURE() << lang << ".po is missing";
            continue;
        }
        int untranslated = 0, fuzzy = 0;
        for (const auto& e : readPo(path)) {
            untranslated += e.text.empty();
            fuzzy += e.fuzzy;
        }
        EXPECT_EQ(untranslated, 0) << lang << ".po: untranslated entries";
        EXPECT_EQ(fuzzy, 0) << lang << ".po: fuzzy entries";
    }
}

namespace {

// A catalog of our own, compiled with msgfmt into a temporary locale folder.
std::string makeCatalog(const std::string& localeDir, const std::string& lang, const std::string& po) {
    const std::string dir = localeDir + "/" + lang + "/LC_MESSAGES";
    const std::string source = localeDir + "/" + lang + ".po";
    std::filesystem::create_directories(dir);
    std::ofstream(source) << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n" << po;
    const std::string command = "msgfmt --check -o '" + dir + "/quillo.mo' '" + source + "'";
    return std::system(command.c_str()) == 0 ? dir : std::string();
}

}  // namespace

TEST(UtilTranslations, LookupFollowsTheEnvironmentAndFallsBackToEnglish) {
    quillo::test::TempHome temp;
    const std::string locale = temp.root() + "/locale";
    ASSERT_NE(makeCatalog(locale, "pl",
                          "msgctxt \"items_size\"\n"
                          "msgid \"{count, plural, one {# item} other {# items}}, {size}\"\n"
                          "msgstr \"{count, plural, one {# obiekt} few {# obiekty} many {# obiektów} other {# obiektu}}, {size}\"\n\n"
                          "msgctxt \"Errors:no_marked_items\"\n"
                          "msgid \"No item is marked for erasing.\"\n"
                          "msgstr \"Żaden obiekt nie jest zaznaczony.\"\n\n"
                          "msgctxt \"cancel_btn\"\nmsgid \"Cancel\"\nmsgstr \"Anuluj\"\n"),
              "");
    ASSERT_NE(makeCatalog(locale, "de", "msgctxt \"cancel_btn\"\nmsgid \"Cancel\"\nmsgstr \"Abbrechen\"\n\n"
                                        "msgctxt \"ok_btn\"\nmsgid \"OK\"\nmsgstr \"Gut\"\n"),
              "");
    quillo::test::ScopedEnvironment env;
    env.set("QUILLO_LOCALEDIR", locale);

    env.set("LANG", "pl_PL.UTF-8");
    EXPECT_EQ(RNMessagesLanguage(), "pl");
    EXPECT_EQ(localizedText("cancel_btn"), "Anuluj");
    // The Errors table's entries are their own, even for a key the main table also knows.
    EXPECT_EQ(localizedText("no_marked_items", "Errors"), "Żaden obiekt nie jest zaznaczony.");
    EXPECT_EQ(localizedText("no_marked_items"), "no_marked_items");
    // Not translated: English. Not a key: the key. The logs' texts: English whatever the catalog.
    EXPECT_EQ(localizedText("ok_btn"), "OK");
    EXPECT_EQ(localizedText("Cancel"), "Cancel");
    EXPECT_EQ(englishText("cancel_btn"), "Cancel");

    // The translation's plural rules, even when numbers are English: "2 obiekty", "5 obiektów".
    env.set("LANG", "en_US.UTF-8");
    env.set("LANGUAGE", "pl");
    EXPECT_EQ(RNLocalizedMessage("items_size", {{"count", uint64_t(2)}, {"size", "1 KB"}}), "2 obiekty, 1 KB");
    EXPECT_EQ(RNLocalizedMessage("items_size", {{"count", uint64_t(5)}, {"size", "1 KB"}}), "5 obiektów, 1 KB");
    EXPECT_EQ(RNLocalizedMessage("items_size", {{"count", uint64_t(22)}, {"size", "1 KB"}}), "22 obiekty, 1 KB");

    // LANGUAGE is a list tried text by text; a country falls back to its language.
    env.set("LANGUAGE", "xx:de_AT:pl");
    EXPECT_EQ(RNMessagesLanguage(), "de");
    EXPECT_EQ(localizedText("ok_btn"), "Gut");
    EXPECT_EQ(localizedText("no_marked_items", "Errors"), "Żaden obiekt nie jest zaznaczony.");
    // As gettext: the C locale means English, LANGUAGE or not.
    env.set("LANG", "C.UTF-8");
    EXPECT_EQ(localizedText("cancel_btn"), "Cancel");
    EXPECT_EQ(RNMessagesLanguage(), "");
    env.unset("LANGUAGE");
    env.set("LANG", "sv_SE.UTF-8");  // a language Quillo has no catalog for
    EXPECT_EQ(localizedText("cancel_btn"), "Cancel");

    // Texts handed out earlier stay valid while other threads look up others.
    env.set("LANG", "de_DE.UTF-8");
    const std::string_view kept = localizedText("cancel_btn");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) EXPECT_EQ(localizedText("cancel_btn"), "Abbrechen");
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(kept, "Abbrechen");
}

// The shipped German catalog as the build compiled it, found next to the programs.
TEST(UtilTranslations, TheBuildsCatalogsAreFound) {
    if (deliveredLanguages().empty()) GTEST_SKIP() << "no catalog in po/";
    quillo::test::ScopedEnvironment env;
    env.unset("QUILLO_LOCALEDIR");
    for (const auto& lang : deliveredLanguages()) {
        env.set("LANG", lang + ".UTF-8");
        std::string expected;
        for (const auto& e : readPo(kPoDir + "/" + lang + ".po"))
            if (e.context == "empty_trash_button") expected = e.text;
        if (expected.empty()) continue;
        EXPECT_EQ(localizedText("empty_trash_button"), expected) << lang;
    }
}
