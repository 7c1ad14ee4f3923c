#include "common/HelperProgressSignals.h"

#include "files/SystemLog.h"

#include <systemd/sd-bus.h>

#include <cstring>

namespace quillo::common {

HelperProgressSignalSender::HelperProgressSignalSender(sd_bus* bus, std::string destination)
    : bus_(bus), destination_(std::move(destination)) {}

void HelperProgressSignalSender::itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize,
                                             const std::string& path) {
    itemsErased(count, totSize, {ListedItem{count, totSize, itemSize, path}}, 0);
}

void HelperProgressSignalSender::itemsNotListed(uint64_t count, uint64_t totSize, uint64_t notListed) {
    itemsErased(count, totSize, {}, notListed);
}

void HelperProgressSignalSender::itemsErased(uint64_t count, uint64_t totSize, const std::vector<ListedItem>& items,
                                             uint64_t notListed) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(bus_, &m, kHelperObjectPath, kHelperInterface, kItemsErasedSignal);
    if (r >= 0) r = sd_bus_message_append(m, "tt", count, totSize);
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(tttay)");
    for (const ListedItem& item : items) {
        if (r >= 0) r = sd_bus_message_open_container(m, 'r', "tttay");
        if (r >= 0) r = sd_bus_message_append(m, "ttt", item.count, item.totSize, item.itemSize);
        // The path's bytes as they are: a file name need not be valid UTF-8.
        if (r >= 0) r = sd_bus_message_append_array(m, 'y', item.path.data(), item.path.size());
        if (r >= 0) r = sd_bus_message_close_container(m);
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_append(m, "t", notListed);
    send(m, r);
}

void HelperProgressSignalSender::finishedWithNonErasedCount(uint64_t count) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(bus_, &m, kHelperObjectPath, kHelperInterface, kFinishedSignal);
    if (r >= 0) r = sd_bus_message_append(m, "t", count);
    send(m, r);
}

void HelperProgressSignalSender::send(sd_bus_message* m, int r) {
    if (r >= 0) r = sd_bus_message_set_destination(m, destination_.c_str());
    if (r >= 0) r = sd_bus_send(bus_, m, nullptr);
    if (r < 0) {
        lastError_ = r;
        files::systemLog(std::string("quillo3-helper: cannot send progress: ") + std::strerror(-r));
    }
    sd_bus_message_unref(m);
}

bool deliverHelperProgressSignal(sd_bus_message* signal, RNHelperToolProtocolProgress& receiver) {
    const char* path = sd_bus_message_get_path(signal);
    if (!path || std::strcmp(path, kHelperObjectPath) != 0) return false;
    if (sd_bus_message_is_signal(signal, kHelperInterface, kItemsErasedSignal) > 0 &&
        sd_bus_message_has_signature(signal, kItemsErasedSignature) > 0) {
        uint64_t count = 0, totSize = 0, notListed = 0;
        // Read whole before anything is called: a malformed signal calls nothing.
        std::vector<ListedItem> items;
        int r = sd_bus_message_read(signal, "tt", &count, &totSize);
        if (r >= 0) r = sd_bus_message_enter_container(signal, 'a', "(tttay)");
        while (r >= 0) {
            r = sd_bus_message_enter_container(signal, 'r', "tttay");
            if (r <= 0) break;
            ListedItem item;
            const void* bytes = nullptr;
            size_t size = 0;
            r = sd_bus_message_read(signal, "ttt", &item.count, &item.totSize, &item.itemSize);
            if (r >= 0) r = sd_bus_message_read_array(signal, 'y', &bytes, &size);
            if (r >= 0) r = sd_bus_message_exit_container(signal);
            if (r >= 0) item.path.assign(static_cast<const char*>(bytes), size);
            if (r >= 0) items.push_back(std::move(item));
        }
        if (r >= 0) r = sd_bus_message_exit_container(signal);
        if (r >= 0) r = sd_bus_message_read(signal, "t", &notListed);
        if (r < 0) return false;
        for (const ListedItem& item : items) receiver.itemsErased(item.count, item.totSize, item.itemSize, item.path);
        if (notListed > 0 || items.empty()) receiver.itemsNotListed(count, totSize, notListed);
        return true;
    }
    if (sd_bus_message_is_signal(signal, kHelperInterface, kItemsErasedSignal) > 0) {
        if (sd_bus_message_has_signature(signal, kItemsErasedSignatureOne) <= 0) return false;
        uint64_t count = 0, totSize = 0, itemSize = 0;
        const void* bytes = nullptr;
        size_t size = 0;
        int r = sd_bus_message_read(signal, "ttt", &count, &totSize, &itemSize);
        if (r >= 0) r = sd_bus_message_read_array(signal, 'y', &bytes, &size);
        if (r < 0) return false;
        receiver.itemsErased(count, totSize, itemSize, std::string(static_cast<const char*>(bytes), size));
        return true;
    }
    if (sd_bus_message_is_signal(signal, kHelperInterface, kFinishedSignal) > 0) {
        uint64_t count = 0;
        if (sd_bus_message_read(signal, "t", &count) < 0) return false;
        receiver.finishedWithNonErasedCount(count);
        return true;
    }
    return false;
}

}  // namespace quillo::common
