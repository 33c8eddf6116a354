// End to end in a real browser: headless Chromium in a private desktop session (session bus,
// PipeWire, WirePlumber, the desktop portal whose access dialog says "allow") opens the Kova
// camera through the camera portal, and a page reads back the pixels it shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Sandbox.h"

namespace kova::pipewire::test {
namespace {

using namespace std::chrono_literals;

// Points of the camera's 800 × 960 picture the page samples, and the placeholder's colour there
// (R, G, B): its field left and right of the upper panel on row 300 and near the top, the upper
// panel between, and the lower panel.
constexpr const char* kPoints = "50,300;400,300;750,300;400,60;400,660";
constexpr std::array<std::array<int, 3>, 5> kPlaceholder = {{{0x1C, 0x1C, 0x1E},
                                                             {0x2C, 0x2C, 0x2E},
                                                             {0x1C, 0x1C, 0x1E},
                                                             {0x1C, 0x1C, 0x1E},
                                                             {0x2C, 0x2C, 0x2E}}};

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

// Whether a "frame W H r,g,b ..." line sampled the placeholder. Conversion to YUV in the bridge
// and back to RGB in the browser, with chroma shared by four pixels, moves a colour by a few
// levels.
bool shows_placeholder(const std::string& line) {
    std::istringstream values(line);
    std::string kind;
    int width = 0, height = 0;
    values >> kind >> width >> height;
    for (const auto& want : kPlaceholder) {
        std::array<int, 3> got{};
        char comma = 0;
        if (kind != "frame" || !(values >> got[0] >> comma >> got[1] >> comma >> got[2])) {
            return false;
        }
        for (std::size_t i = 0; i < got.size(); ++i) {
            if (std::abs(got[i] - want[i]) > 6) return false;
        }
    }
    return true;
}

TEST(BrowserTest, ChromiumOpensKovaThroughThePortalAndShowsItsPicture) {
    Sandbox sandbox(/*desktop_session=*/true);
    sandbox.start_camera_and_bridge();
    ChildProcess permission_store =
        sandbox.start("xdg-permission-store", {KOVA_PERMISSION_STORE, "--replace"});
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
            const auto reply = sandbox.run(
                "camera-present",
                {KOVA_DBUS_SEND, "--session", "--print-reply",
                 "--dest=org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                 "org.freedesktop.DBus.Properties.Get", "string:org.freedesktop.portal.Camera",
                 "string:IsCameraPresent"},
                5s);
            return reply && reply->find("boolean true") != std::string::npos;
        },
        20s))
        << "the camera portal does not see Kova:\n"
        << portal.log();

    // Start-up can fail on the browser's side (its capture service restarting under load): a
    // fresh browser with a fresh profile is tried, up to three in all. Once the track is open,
    // frames must follow within a few seconds with nothing else consuming the node.
    std::optional<ChildProcess> browser;
    const auto page_has = [&](const std::function<bool(const std::string&)>& match) {
        const auto lines = page_lines(*browser);
        return std::any_of(lines.begin(), lines.end(), match);
    };
    bool shown = false;
    for (int attempt = 0; attempt < 3 && !shown; ++attempt) {
        const std::string profile = sandbox.dir() + "/chromium-" + std::to_string(attempt);
        browser.reset();
        browser.emplace(sandbox.start(
            "chromium",
            {KOVA_CHROMIUM, "--headless", "--no-sandbox", "--no-first-run",
             "--enable-features=WebRtcPipeWireCamera", "--use-fake-ui-for-media-stream",
             "--enable-logging=stderr", "--user-data-dir=" + profile,
             std::string("file://") + KOVA_CAMERA_PAGE + "?size=800,960&points=" + kPoints},
            {"HOME=" + profile}));
        const auto track = [](const std::string& line) { return line.rfind("track ", 0) == 0; };
        if (!waitUntil([&] { return page_has(track); }, 40s)) continue;
        shown = waitUntil([&] { return page_has(shows_placeholder); }, 5s);
    }
    const auto lines = page_lines(*browser);
    std::string tail;
    for (auto line = lines.size() > 5 ? lines.end() - 5 : lines.begin(); line != lines.end();
         ++line) {
        tail += "page: " + *line + "\n";
    }
    ASSERT_TRUE(shown) << "no frame showed the placeholder\n"
                       << tail << sandbox.bridge().log() << portal.log();
    EXPECT_TRUE(page_has([](const std::string& line) {
        return line.rfind("devices ", 0) == 0 && line.find("\"Kova\"") != std::string::npos;
    })) << tail;
    EXPECT_NE(backend.log().find("access dialog"), std::string::npos)
        << "the camera was opened without the portal asking";
    browser.reset();
    sandbox.stop_bridge_and_camera();
}

}  // namespace
}  // namespace kova::pipewire::test
