#include "helperclient/FakeHelper.h"

#include "common/HelperBus.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <future>

namespace quillo::test {

using namespace quillo::common;

struct FakeHelperHandlers {
    static int version(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FakeHelper*>(userdata);
        return sd_bus_reply_method_return(m, "s", self->script_.version.c_str());
    }

    static int stop(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FakeHelper*>(userdata);
        int b = 0;
        sd_bus_message_read(m, "b", &b);
        {
            std::lock_guard lock(self->mutex_);
            self->stops_.push_back(b != 0);
        }
        return sd_bus_reply_method_return(m, "");
    }

    static void sendItem(sd_bus* bus, const char* to, const FakeHelper::Item& item) {
        sd_bus_message* s = nullptr;
        sd_bus_message_new_signal(bus, &s, kHelperObjectPath, kHelperInterface, kItemsErasedSignal);
        sd_bus_message_set_destination(s, to);
        sd_bus_message_append(s, "ttt", item.count, item.totSize, item.itemSize);
        sd_bus_message_append_array(s, 'y', item.path.data(), item.path.size());
        sd_bus_send(bus, s, nullptr);
        sd_bus_message_unref(s);
    }

    static int erase(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FakeHelper*>(userdata);
        ++self->eraseCalls_;
        const void *auth = nullptr, *req = nullptr;
        size_t authSize = 0, reqSize = 0;
        sd_bus_message_read_array(m, 'y', &auth, &authSize);
        sd_bus_message_read_array(m, 'y', &req, &reqSize);
        {
            std::lock_guard lock(self->mutex_);
            self->authorization_.assign(static_cast<const char*>(auth), authSize);
            self->request_.assign(static_cast<const char*>(req), reqSize);
        }
        const FakeHelper::Script& script = self->script_;
        if (script.eraseError)
            return sd_bus_reply_method_errorf(m, script.eraseError->first.c_str(), "%s", script.eraseError->second.c_str());
        const std::string caller = sd_bus_message_get_sender(m);
        sd_bus_reply_method_return(m, "");
        sd_bus_flush(self->bus_);
        if (script.spoofFromOtherConnection) {
            sd_bus* other = nullptr;
            if (sd_bus_open_system(&other) >= 0) {
                sendItem(other, caller.c_str(), FakeHelper::Item{999, 999, 999, "/spoofed"});
                sd_bus_flush(other);
                sd_bus_flush_close_unref(other);
            }
        }
        for (const FakeHelper::Item& item : script.items) {
            sendItem(self->bus_, caller.c_str(), item);
            if (script.vanishAfterFirstItem) {
                sd_bus_flush(self->bus_);
                sd_event_exit(self->event_, 0);
                return 1;
            }
        }
        sd_bus_message* s = nullptr;
        sd_bus_message_new_signal(self->bus_, &s, kHelperObjectPath, kHelperInterface, kFinishedSignal);
        sd_bus_message_set_destination(s, caller.c_str());
        sd_bus_message_append(s, "t", script.notErased);
        sd_bus_send(self->bus_, s, nullptr);
        sd_bus_message_unref(s);
        return 1;
    }

    static int quit(sd_event_source*, int, uint32_t, void* userdata) {
        sd_event_exit(static_cast<FakeHelper*>(userdata)->event_, 0);
        return 0;
    }
};

namespace {
const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD(kGetVersionMethod, kGetVersionIn, kGetVersionOut, &FakeHelperHandlers::version, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD(kEraseMethod, kEraseIn, kEraseOut, &FakeHelperHandlers::erase, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD(kSetStoppedByUserMethod, kSetStoppedByUserIn, kSetStoppedByUserOut, &FakeHelperHandlers::stop,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};
}  // namespace

FakeHelper::FakeHelper(Script script) : script_(std::move(script)) {
    quitFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::promise<bool> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, &started] {
        bool good = sd_event_new(&event_) >= 0 && sd_bus_open_system(&bus_) >= 0 &&
                    sd_bus_attach_event(bus_, event_, 0) >= 0 &&
                    sd_event_add_io(event_, nullptr, quitFd_, EPOLLIN, &FakeHelperHandlers::quit, this) >= 0 &&
                    sd_bus_add_object_vtable(bus_, nullptr, kHelperObjectPath, kHelperInterface, kVtable, this) >= 0 &&
                    sd_bus_request_name(bus_, kHelperBusName, 0) >= 0;
        started.set_value(good);
        if (good) sd_event_loop(event_);
        if (bus_) {
            sd_bus_flush(bus_);
            bus_ = sd_bus_flush_close_unref(bus_);
        }
        if (event_) event_ = sd_event_unref(event_);
    });
    ok_ = ready.get();
}

FakeHelper::~FakeHelper() {
    const uint64_t one = 1;
    if (::write(quitFd_, &one, sizeof one) < 0) {
    }
    if (thread_.joinable()) thread_.join();
    ::close(quitFd_);
}

std::vector<bool> FakeHelper::stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
}
std::string FakeHelper::authorization() const {
    std::lock_guard lock(mutex_);
    return authorization_;
}
std::string FakeHelper::request() const {
    std::lock_guard lock(mutex_);
    return request_;
}

}  // namespace quillo::test
