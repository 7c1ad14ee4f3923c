#include "common/RNCommonHelper.h"

#include "common/HelperBus.h"
#include "files/SystemLog.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace quillo::common {

namespace {

// The table is written here and nowhere else; an entry without its keys is a programming
// error, not something input can cause.
[[noreturn]] void internalError(const char* what) {
    files::systemLog(std::string("RNCommonHelper internal error: ") + what);
    std::abort();
}

const std::string& requiredValue(const RNCommonHelper::RightDescription& right, const char* key) {
    auto it = right.find(key);
    if (it == right.end()) internalError(key);
    return it->second;
}

}  // namespace

const RNCommonHelper::CommandInfo& RNCommonHelper::commandInfo() {
    static const CommandInfo info = {
        {kEraseCommand,
         {{kAuthRightNameKey, kEraseRightName},
          {kAuthRightDefaultKey, kIsAdminRule},
          {kAuthRightDescriptionKey, kEraseRightDescription}}},
    };
    return info;
}

std::optional<std::string> RNCommonHelper::authorizationRightForCommand(std::string_view command) {
    const CommandInfo& info = commandInfo();
    auto it = info.find(std::string(command));
    if (it == info.end()) return std::nullopt;
    return requiredValue(it->second, kAuthRightNameKey);
}

void RNCommonHelper::enumerateRightsUsingBlock(const RightBlock& block) {
    for (const auto& [command, right] : commandInfo()) {
        (void)command;
        block(requiredValue(right, kAuthRightNameKey), requiredValue(right, kAuthRightDefaultKey),
              requiredValue(right, kAuthRightDescriptionKey));
    }
}

std::string RNCommonHelper::polkitActionIdForRight(std::string_view rightName) {
    std::string id;
    id.reserve(rightName.size());
    for (char c : rightName) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!allowed) return {};
        id += c;
    }
    return id;
}

std::string RNCommonHelper::polkitRuleForDefault(std::string_view rule) {
    if (rule == kIsAdminRule) return "auth_admin";
    return {};
}

std::vector<std::string> RNCommonHelper::missingActions(const std::vector<std::string>& registered) {
    std::vector<std::string> missing;
    enumerateRightsUsingBlock([&](const std::string& name, const std::string&, const std::string&) {
        std::string id = polkitActionIdForRight(name);
        if (std::find(registered.begin(), registered.end(), id) == registered.end()) missing.push_back(id);
    });
    return missing;
}

RightsSetupResult RNCommonHelper::setupAuthorizationRights(sd_bus* bus) {
    if (!bus) internalError("setupAuthorizationRights without a bus");
    RightsSetupResult result;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, kPolkitBusName, kPolkitObjectPath, kPolkitInterface, "EnumerateActions", &error,
                               &reply, "s", "");
    if (r < 0) {
        result.error = error.message ? error.message : std::strerror(-r);
        files::systemLog("setupAuthorizationRights: polkit cannot be asked: " + result.error);
        sd_bus_error_free(&error);
        return result;
    }
    std::vector<std::string> registered;
    // a(ssssssuuua{ss}): action id, description, message, vendor, vendor URL, icon, three
    // implicit authorizations, annotations.
    r = sd_bus_message_enter_container(reply, 'a', "(ssssssuuua{ss})");
    while (r >= 0) {
        r = sd_bus_message_enter_container(reply, 'r', "ssssssuuua{ss}");
        if (r <= 0) break;  // 0: end of the array
        const char* id = nullptr;
        if ((r = sd_bus_message_read(reply, "s", &id)) < 0) break;
        registered.emplace_back(id ? id : "");
        if ((r = sd_bus_message_skip(reply, "sssssuuua{ss}")) < 0) break;
        r = sd_bus_message_exit_container(reply);
    }
    sd_bus_message_unref(reply);
    if (r < 0) {
        result.error = std::string("unreadable answer from polkit: ") + std::strerror(-r);
        files::systemLog("setupAuthorizationRights: " + result.error);
        return result;
    }
    result.polkitReachable = true;
    result.missingActions = missingActions(registered);
    for (const std::string& id : result.missingActions)
        files::systemLog("setupAuthorizationRights: polkit action " + id +
                         " is not registered; the helper's installation is incomplete");
    return result;
}

}  // namespace quillo::common
