// The authorization rights table both sides of the helper carry, and its polkit form.
//
// One command is protected: the erase request. Its right keeps the name
// "org.quillo.quillo-3.eraseAuthorized"; polkit action ids allow only lower-case letters,
// digits, "." and "-", so the polkit action is that name in lower case. The default rule
// "is-admin" is polkit's auth_admin.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct sd_bus sd_bus;

namespace quillo::common {

// Keys of a right description.
inline constexpr char kAuthRightNameKey[] = "authRightName";
inline constexpr char kAuthRightDefaultKey[] = "authRightDefault";
inline constexpr char kAuthRightDescriptionKey[] = "authRightDescription";

// The protected command (the name of the erase message) and its right.
inline constexpr char kEraseCommand[] = "eraseWithAuthorization:itemsDictionary:withReply:";
inline constexpr char kEraseRightName[] = "org.quillo.quillo-3.eraseAuthorized";
inline constexpr char kIsAdminRule[] = "is-admin";
inline constexpr char kEraseRightDescription[] = "Quillo is trying to erase with root authorization.";

// What checking the rights with polkit found.
struct RightsSetupResult {
    bool polkitReachable = false;
    std::vector<std::string> missingActions;  // polkit action ids that are not registered
    std::string error;                        // why polkit could not be asked
    bool ok() const { return polkitReachable && missingActions.empty(); }
};

class RNCommonHelper {
public:
    using RightDescription = std::map<std::string, std::string>;
    using CommandInfo = std::map<std::string, RightDescription>;

    // Command name -> right description; built once (thread-safe), immutable afterwards.
    static const CommandInfo& commandInfo();

    // The right's name for a command; nullopt for a command that is not protected.
    static std::optional<std::string> authorizationRightForCommand(std::string_view command);

    // Calls `block` once per right with its name, default rule and description.
    using RightBlock = std::function<void(const std::string& authRightName, const std::string& authRightDefault,
                                          const std::string& authRightDescription)>;
    static void enumerateRightsUsingBlock(const RightBlock& block);

    // The polkit action id of a right: its name in lower case. Empty when the name holds a
    // character polkit does not allow in an action id even after lower-casing.
    static std::string polkitActionIdForRight(std::string_view rightName);
    // The polkit implicit authorization of a default rule ("is-admin" -> "auth_admin"); empty for
    // a rule that has no polkit form.
    static std::string polkitRuleForDefault(std::string_view rule);

    // Checks, over `bus` (the system bus; must not be null), that every right's polkit action is
    // registered. Nothing is defined or changed here: the action file is the installer's, and
    // an existing definition is never touched. Missing actions and an unreachable polkit are
    // logged.
    static RightsSetupResult setupAuthorizationRights(sd_bus* bus);

    // The same answer from a list of registered action ids (what polkit's EnumerateActions gave).
    static std::vector<std::string> missingActions(const std::vector<std::string>& registered);
};

}  // namespace quillo::common
