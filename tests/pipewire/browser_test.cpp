// End to end in a real browser: headless Chromium in a private desktop session (session bus,
// PipeWire, WirePlumber, the desktop portal with camera access granted in the permission store)
// opens the Kova camera through the camera portal, and a page reads back the pixels it shows.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Sandbox.h"

namespace kova::pipewire::test {
namespace {

using namespace std::chrono_literals;

struct Rgb {
    int r, g, b;
};
using Sample = std::array<Rgb, 10>;

// Points of the camera's 800 × 960 picture the page samples: the centre of each colour bar on
// row 300, then the placeholder's field near the top and its lower panel.
constexpr const char* kPoints =
    "50,300;150,300;250,300;350,300;450,300;550,300;650,300;750,300;400,60;400,660";
// The placeholder there: row 300 crosses the upper panel from pixel 100 to 699.
constexpr Rgb kField{0x1C, 0x1C, 0x1E};
constexpr Rgb kPanel{0x2C, 0x2C, 0x2E};
constexpr Sample kPlaceholder = {kField, kPanel, kPanel, kPanel, kPanel,
                                 kPanel, kPanel, kField, kField, kPanel};
// `kova push --pattern bars`: 75 % white, yellow, cyan, green, magenta, red, blue, black; the
// two last points lie in the magenta bar.
constexpr Sample kBars = {Rgb{191, 191, 191}, Rgb{191, 191, 0}, Rgb{0, 191, 191}, Rgb{0, 191, 0},
                          Rgb{191, 0, 191},   Rgb{191, 0, 0},   Rgb{0, 0, 191},   Rgb{0, 0, 0},
                          Rgb{191, 0, 191},   Rgb{191, 0, 191}};

// The lines of the browser's log that start with "KOVA", without it (Chromium logs console lines
// as `"TEXT", source: URL (LINE)`).
std::vector<std::string> page_lines(const ChildProcess& browser) {
    std::vector<std::string> page;
    std::istringstream log(browser.log());
    for (std::string line; std::getline(log, line);) {
        const auto start = line.find("\"KOVA ");
        const auto end = line.find("\", source:", start);
        if (start != std::string::npos && end != std::string::npos) {
            page.push_back(line.substr(start + 6, end - start - 6));
        }
    }
    return page;
}

// Whether a "frame W H r,g,b ..." line sampled `expected`. Conversion to YUV in the bridge and
// back to RGB in the browser, with chroma shared by four pixels, moves a colour by a few levels.
bool shows(const std::string& line, const Sample& expected) {
    std::istringstream values(line);
    std::string kind;
    int width = 0, height = 0;
    values >> kind >> width >> height;
    for (const Rgb& want : expected) {
        Rgb got{};
        char comma = 0;
        if (kind != "frame" || !(values >> got.r >> comma >> got.g >> comma >> got.b) ||
            std::abs(got.r - want.r) > 6 || std::abs(got.g - want.g) > 6 ||
            std::abs(got.b - want.b) > 6) {
            return false;
        }
    }
    return true;
}

std::string tail(const std::vector<std::string>& page) {
    std::string text;
    for (auto line = page.size() > 5 ? page.end() - 5 : page.begin(); line != page.end(); ++line) {
        text += "page: " + *line + "\n";
    }
    return text;
}

TEST(BrowserTest, ChromiumListsKovaAndShowsThePlaceholderThenPushedBars) {
    Sandbox sandbox(/*desktop_session=*/true);
    sandbox.start_camera_and_bridge();
    const auto dbus_send = [&](const std::string& name, std::vector<std::string> argv) {
        argv.insert(argv.begin(), {KOVA_DBUS_SEND, "--session", "--print-reply"});
        return sandbox.run(name, argv, 5s);
    };
    ChildProcess permission_store =
        sandbox.start("xdg-permission-store", {KOVA_PERMISSION_STORE, "--replace"});
    // What a user's "allow" leaves behind: unsandboxed programs (app id "") may use cameras.
    ASSERT_TRUE(waitUntil(
        [&] {
            return dbus_send("grant", {"--dest=org.freedesktop.impl.portal.PermissionStore",
                                       "/org/freedesktop/impl/portal/PermissionStore",
                                       "org.freedesktop.impl.portal.PermissionStore.SetPermission",
                                       "string:devices", "boolean:true", "string:camera",
                                       "string:", "array:string:yes"})
                .has_value();
        },
        10s))
        << "the permission store did not take the camera permission";
    const std::filesystem::path portals = sandbox.dir() + "/portals";
    std::filesystem::create_directories(portals);
    std::ofstream(portals / "kova.portal")
        << "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.kova\n"
           "Interfaces=org.freedesktop.impl.portal.Access;\nUseIn=kova\n";
    ChildProcess backend = sandbox.start("portal-backend", {KOVA_PORTAL_BACKEND});
    ChildProcess portal =
        sandbox.start("xdg-desktop-portal", {KOVA_DESKTOP_PORTAL, "--verbose"},
                      {"XDG_DESKTOP_PORTAL_DIR=" + portals.string(), "XDG_CURRENT_DESKTOP=kova"});
    // The portal sees the camera once it lists a PipeWire camera node: ours.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto reply =
                dbus_send("camera-present",
                          {"--dest=org.freedesktop.portal.Desktop",
                           "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Properties.Get",
                           "string:org.freedesktop.portal.Camera", "string:IsCameraPresent"});
            return reply && reply->find("boolean true") != std::string::npos;
        },
        20s))
        << "the camera portal does not see Kova:\n"
        << portal.log();

    // Start-up can fail on the browser's side (its capture service restarting under load): a
    // fresh browser with a fresh profile is tried, up to three in all. Once the track is open,
    // frames must follow within a few seconds with nothing else consuming the node.
    std::optional<ChildProcess> browser;
    const auto page = [&] { return page_lines(*browser); };
    const auto logged = [&](const std::string& kind) {
        const auto lines = page();
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
                   return line.rfind(kind + " ", 0) == 0;
               }) != lines.end();
    };
    bool placeholder = false;
    for (int attempt = 0; attempt < 3 && !placeholder; ++attempt) {
        const std::string profile = sandbox.dir() + "/chromium-" + std::to_string(attempt);
        browser.reset();
        browser.emplace(sandbox.start(
            "chromium",
            {KOVA_CHROMIUM, "--headless", "--no-sandbox", "--no-first-run",
             "--enable-features=WebRtcPipeWireCamera", "--use-fake-ui-for-media-stream",
             "--enable-logging=stderr", "--user-data-dir=" + profile,
             std::string("file://") + KOVA_CAMERA_PAGE + "?size=800,960&points=" + kPoints},
            {"HOME=" + profile}));
        if (!waitUntil([&] { return logged("track"); }, 40s)) continue;
        placeholder = waitUntil(
            [&] {
                const auto lines = page();
                return std::any_of(lines.begin(), lines.end(),
                                   [](const auto& line) { return shows(line, kPlaceholder); });
            },
            5s);
    }
    ASSERT_TRUE(placeholder) << "no frame showed the placeholder\n"
                             << tail(page()) << sandbox.bridge().log();
    const auto lines = page();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("devices ", 0) == 0 && line.find("\"Kova\"") != std::string::npos;
    })) << tail(lines);

    ChildProcess pusher = sandbox.start("kova-push", {KOVA_CLI, "push", "--pattern", "bars"});
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto lines = page();
            // The last frame line, not any: the bars replace the placeholder.
            const auto last = std::find_if(lines.rbegin(), lines.rend(), [](const auto& line) {
                return line.rfind("frame ", 0) == 0;
            });
            return last != lines.rend() && shows(*last, kBars);
        },
        10s))
        << "the pushed bars did not come through\n"
        << tail(page());
    EXPECT_EQ(backend.log().find("access dialog"), std::string::npos)
        << "the portal asked for a dialog instead of using the permission store";
    pusher.stop(SIGTERM, 5s);
    browser.reset();
    sandbox.stop_bridge_and_camera();
}

}  // namespace
}  // namespace kova::pipewire::test
