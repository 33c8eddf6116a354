// A desktop-portal backend for the browser tests: the access dialog the camera portal asks before
// an application first uses the camera, answered "allow" at once, as a user would, and logged so
// that a test sees the portal asked.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kBusName = "org.freedesktop.impl.portal.desktop.kova";
constexpr const char* kObjectPath = "/org/freedesktop/portal/desktop";
constexpr std::uint32_t kResponseAllowed = 0;

int access_dialog(sd_bus_message* message, void*, sd_bus_error*) {
    const char* handle = nullptr;
    const char* app_id = nullptr;
    sd_bus_message_read(message, "os", &handle, &app_id);
    std::fprintf(stderr, "access dialog asked for app \"%s\": allowed\n", app_id ? app_id : "?");
    return sd_bus_reply_method_return(message, "ua{sv}", kResponseAllowed, 0);
}

const sd_bus_vtable kAccessVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("AccessDialog", "osssssa{sv}", "ua{sv}", access_dialog,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main() {
    sd_bus* bus = nullptr;
    // The session bus named by DBUS_SESSION_BUS_ADDRESS.
    int res = sd_bus_open_user(&bus);
    if (res >= 0) {
        res =
            sd_bus_add_object_vtable(bus, nullptr, kObjectPath,
                                     "org.freedesktop.impl.portal.Access", kAccessVtable, nullptr);
    }
    if (res >= 0) res = sd_bus_request_name(bus, kBusName, 0);
    if (res < 0) {
        std::fprintf(stderr, "portal backend: %s\n", std::strerror(-res));
        sd_bus_unref(bus);
        return 1;
    }
    std::fprintf(stderr, "portal backend: ready\n");
    // Runs until the bus goes away with the test's session.
    while ((res = sd_bus_process(bus, nullptr)) >= 0) {
        if (res == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) break;
    }
    sd_bus_unref(bus);
    return 0;
}
