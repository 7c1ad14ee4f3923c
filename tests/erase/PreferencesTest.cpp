#include "erase/RNPreferences.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace quillo::erase;
namespace qt = quillo::test;

namespace {
class ErasePreferences : public ::testing::Test {
protected:
    void SetUp() override { RNUserDefaults::resetStandardUserDefaults(); }
    void TearDown() override { RNUserDefaults::resetStandardUserDefaults(); }
    std::string prefsFile() const { return home.configHome() + "/quillo/org.quillo.quillo-3.plist"; }
    qt::TempHome home;
};
}  // namespace

TEST_F(ErasePreferences, FactoryDefaults) {
    const RNDictionary expected{
        {"empty_trash", RNDictionary{{"keyCode", 0x01000003}, {"modifierFlags", 0x04000000 | 0x10000000}}},
        {"lumo_delete", RNDictionary{{"keyCode", 0x53}, {"modifierFlags", 0x02000000 | 0x10000000}}},
        {"launch_at_login", false},
        {"write_log", true},
        {"how_many_days_for_new_log_file", 7},
        {"show_alert", true},
        {"delete_locked", false},
        {"lumo_delete_window", ""},
        {"show_install_helper_tool", false},
        {"newsletter_subscribed", false},
        {"is_first_run", true},
        // Automatic clean-up: every rule off, a day's grace, no helper.
        {"auto_cleanup_older_than", false},
        {"auto_cleanup_older_than_days", 30},
        {"auto_cleanup_max_trash", false},
        {"auto_cleanup_max_trash_bytes", std::int64_t(10000000000)},
        {"auto_cleanup_min_free", false},
        {"auto_cleanup_min_free_by_percent", true},
        {"auto_cleanup_min_free_bytes", std::int64_t(5000000000)},
        {"auto_cleanup_min_free_percent", 10},
        {"auto_cleanup_minimum_age_days", 1},
        {"auto_cleanup_allow_helper", false},
    };
    RNDictionary values = defaultValues();
    EXPECT_EQ(values, expected) << RNValue(values).description();
    for (const auto& [key, value] : expected)
        EXPECT_EQ(values[key].type(), value.type()) << key << ": booleans must stay booleans";

    // The general part alone: what the preferences window resets to.
    RNDictionary general;
    defaultGeneralPreferences(general);
    EXPECT_EQ(general.size(), 8u);
    EXPECT_EQ(general.count("is_first_run"), 0u);
    EXPECT_EQ(defaultEmptyTrashHotKey(), values["empty_trash"].dictionaryValue());
    EXPECT_EQ(defaultLumoDeleteHotKey(), values["lumo_delete"].dictionaryValue());
}

TEST_F(ErasePreferences, SetupRegistersWithoutWritingAFile) {
    RNUserDefaults& defaults = RNUserDefaults::standardUserDefaults();
    RNUserDefaultsController controller(&defaults);
    setupDefaultsPreferences(defaults, controller);
    EXPECT_TRUE(defaults.boolForKey("write_log"));
    EXPECT_EQ(defaults.integerForKey("how_many_days_for_new_log_file"), 7);
    EXPECT_TRUE(defaults.boolForKey("is_first_run"));
    EXPECT_EQ(defaults.dictionaryForKey("empty_trash"), defaultEmptyTrashHotKey());
    EXPECT_FALSE(qt::exists(prefsFile()));
    EXPECT_EQ(controller.initialValues(), (RNDictionary{{"show_install_helper_tool", false}}));

    // The binding layer can revert the suppression check box.
    defaults.setBool("show_install_helper_tool", true);
    defaults.setBool("show_alert", false);
    controller.revertToInitialValues({"show_install_helper_tool", "show_alert"});
    EXPECT_FALSE(defaults.boolForKey("show_install_helper_tool"));
    EXPECT_TRUE(defaults.boolForKey("show_alert")) << "no initial value: registered default again";

    // The shared forms work on the standard objects.
    setupDefaultsPreferences();
    EXPECT_EQ(RNUserDefaultsController::sharedUserDefaultsController().initialValues().size(), 1u);
    EXPECT_EQ(&RNUserDefaultsController::sharedUserDefaultsController().defaults(),
              &RNUserDefaults::standardUserDefaults());
}

TEST_F(ErasePreferences, RevertNeverAddsKeys) {
    RNUserDefaults& defaults = RNUserDefaults::standardUserDefaults();
    defaults.registerDefaults(defaultValues());
    RNDictionary factory;
    defaultGeneralPreferences(factory);

    // Without a persistent domain nothing changes, and no file appears.
    RNDictionary odd = factory;
    odd["write_log"] = false;
    odd["not_a_preference"] = 5;
    revertToInitialValuesInDictionary(odd, defaults);
    EXPECT_FALSE(defaults.persistentDomain().has_value());
    EXPECT_FALSE(qt::exists(prefsFile()));
    EXPECT_EQ(defaults.registrationDomain(), defaultValues());

    defaults.setBool("show_alert", false);
    defaults.setInteger("how_many_days_for_new_log_file", 30);
    defaults.setBool("is_first_run", false);  // not among the keys reset
    revertToInitialValuesInDictionary(factory, defaults);
    EXPECT_EQ(defaults.persistentDomain(),
              (RNDictionary{{"show_alert", true}, {"how_many_days_for_new_log_file", 7}, {"is_first_run", false}}));
    EXPECT_EQ(defaults.registrationDomain(), defaultValues());
    EXPECT_TRUE(defaults.boolForKey("show_alert"));

    // A key absent from the registration domain is not added to it either.
    revertToInitialValuesInDictionary({{"not_a_preference", 1}, {"write_log", false}}, defaults);
    EXPECT_EQ(defaults.registrationDomain().count("not_a_preference"), 0u);
    EXPECT_EQ(defaults.persistentDomain()->count("not_a_preference"), 0u);
    EXPECT_EQ(defaults.persistentDomain()->count("write_log"), 0u);
    EXPECT_FALSE(defaults.boolForKey("write_log")) << "the registration domain took the given value";
}

TEST(EraseHelperFlag, DefaultsToNoAndIsSharedAcrossThreads) {
    EXPECT_FALSE(IsHelperAuthorized());
    std::thread([] { SetIsHelperAuthorized(true); }).join();
    EXPECT_TRUE(IsHelperAuthorized());
    SetIsHelperAuthorized(false);
    EXPECT_FALSE(IsHelperAuthorized());
}
