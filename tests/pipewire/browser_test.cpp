// End to end in a real browser: headless Chromium in a private desktop session (session bus,
// PipeWire, WirePlumber, the desktop portal with camera access granted in the permission store)
// opens the Kova camera through the camera portal, and a page reads back the pixels it shows.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Sandbox.h"

namespace kova::pipewire::test {
namespace {

using namespace std::chrono_literals;

struct Rgb {
    int r, g, b;
};

// Points of the camera's 800 × 960 picture the page samples: the centre of each colour bar on
// row 300, then the placeholder's field near the top and its lower panel.
constexpr const char* kPoints =
    "50,300;150,300;250,300;350,300;450,300;550,300;650,300;750,300;400,60;400,660";
// The placeholder there: row 300 crosses the upper panel from pixel 100 to 699.
constexpr Rgb kField{0x1C, 0x1C, 0x1E};
constexpr Rgb kPanel{0x2C, 0x2C, 0x2E};
constexpr std::array<Rgb, 10> kPlaceholder = {kField, kPanel, kPanel, kPanel, kPanel,
                                              kPanel, kPanel, kField, kField, kPanel};
// `kova push --pattern bars`: 75 % white, yellow, cyan, green, magenta, red, blue, black; the
// two last points lie in the magenta bar.
constexpr std::array<Rgb, 10> kBars = {
    Rgb{191, 191, 191}, Rgb{191, 191, 0}, Rgb{0, 191, 191}, Rgb{0, 191, 0},   Rgb{191, 0, 191},
    Rgb{191, 0, 0},     Rgb{0, 0, 191},   Rgb{0, 0, 0},     Rgb{191, 0, 191}, Rgb{191, 0, 191}};
// Conversion to YUV in the bridge and back to RGB in the browser, with chroma shared by four
// pixels, moves a colour by a few levels.
constexpr int kTolerance = 6;

// What the page logged: the lines of the browser's log that start with "KOVA" (Chromium logs
// console lines as "TEXT", source: URL (LINE)), and the colours each "frame" line sampled.
struct PageLog {
    std::vector<std::string> lines;  // without the "KOVA " and the source
    std::vector<std::vector<Rgb>> frames;

    static PageLog parse(const std::string& log) {
        PageLog page;
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);) {
            const auto start = line.find("\"KOVA ");
            const auto end = line.find("\", source:", start);
            if (start == std::string::npos || end == std::string::npos) continue;
            page.lines.push_back(line.substr(start + 6, end - start - 6));
            if (page.lines.back().rfind("frame ", 0) != 0) continue;
            std::istringstream values(page.lines.back().substr(6));
            std::vector<Rgb> pixels;
            int width = 0, height = 0;
            values >> width >> height;
            for (Rgb rgb{}; values >> rgb.r && values.ignore() && values >> rgb.g &&
                            values.ignore() && values >> rgb.b;) {
                pixels.push_back(rgb);
            }
            page.frames.push_back(pixels);
        }
        return page;
    }
    // The first line of `kind`, or nothing.
    std::optional<std::string> first(const std::string& kind) const {
        for (const auto& line : lines) {
            if (line.rfind(kind + " ", 0) == 0) return line;
        }
        return std::nullopt;
    }
    // What it logged last, for a failure's message.
    std::string tail() const {
        std::string text;
        for (auto line = lines.size() > 5 ? lines.end() - 5 : lines.begin(); line != lines.end();
             ++line) {
            text += "page: " + *line + "\n";
        }
        return text;
    }
};

bool shows(const std::vector<Rgb>& pixels, const std::array<Rgb, 10>& expected) {
    if (pixels.size() != expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (std::abs(pixels[i].r - expected[i].r) > kTolerance ||
            std::abs(pixels[i].g - expected[i].g) > kTolerance ||
            std::abs(pixels[i].b - expected[i].b) > kTolerance) {
            return false;
        }
    }
    return true;
}

class BrowserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sandbox_ = Sandbox::create({.desktop_session = true});
        sandbox_->start_camera();
        sandbox_->start_bridge();
        permission_store_ =
            sandbox_->start("xdg-permission-store", {KOVA_PERMISSION_STORE, "--replace"});
        // What a user's "allow" leaves behind: unsandboxed programs (app id "") may use cameras.
        const bool granted = waitUntil(
            [&] {
                return sandbox_
                    ->run("grant",
                          {KOVA_DBUS_SEND, "--session", "--print-reply",
                           "--dest=org.freedesktop.impl.portal.PermissionStore",
                           "/org/freedesktop/impl/portal/PermissionStore",
                           "org.freedesktop.impl.portal.PermissionStore.SetPermission",
                           "string:devices", "boolean:true", "string:camera",
                           "string:", "array:string:yes"},
                          5s)
                    .has_value();
            },
            10s);
        ASSERT_TRUE(granted) << "the permission store did not take the camera permission";
        const std::vector<std::string> portal_env = {
            "XDG_DESKTOP_PORTAL_DIR=" + (sandbox_->dir() / "portals").string(),
            "XDG_CURRENT_DESKTOP=kova"};
        std::filesystem::create_directories(sandbox_->dir() / "portals");
        std::ofstream(sandbox_->dir() / "portals" / "kova.portal")
            << "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.kova\n"
               "Interfaces=org.freedesktop.impl.portal.Access;\nUseIn=kova\n";
        backend_ = sandbox_->start("portal-backend", {KOVA_PORTAL_BACKEND});
        portal_ =
            sandbox_->start("xdg-desktop-portal", {KOVA_DESKTOP_PORTAL, "--verbose"}, portal_env);
        // The portal sees the camera once it lists a PipeWire camera node: ours.
        const bool present = waitUntil(
            [&] {
                const auto reply = sandbox_->run(
                    "camera-present",
                    {KOVA_DBUS_SEND, "--session", "--print-reply",
                     "--dest=org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                     "org.freedesktop.DBus.Properties.Get", "string:org.freedesktop.portal.Camera",
                     "string:IsCameraPresent"},
                    5s);
                return reply && reply->find("boolean true") != std::string::npos;
            },
            20s);
        ASSERT_TRUE(present) << "the camera portal does not see Kova:\n" << portal_->log();
    }

    void TearDown() override {
        browser_.reset();
        if (portal_) portal_->stop(SIGTERM, 5s);
        if (backend_) {
            EXPECT_EQ(backend_->log().find("access dialog"), std::string::npos)
                << "the portal asked for a dialog instead of using the permission store";
        }
        portal_.reset();
        backend_.reset();
        permission_store_.reset();
        if (sandbox_) {
            EXPECT_EQ(sandbox_->stop_bridge_and_camera(), "");
        }
        sandbox_.reset();
    }

    // Starts Chromium on the page with a fresh profile.
    void start_browser() {
        const auto profile = sandbox_->dir() / ("chromium-" + std::to_string(++browsers_));
        const std::string page =
            std::string("file://") + KOVA_CAMERA_PAGE + "?size=800,960&points=" + kPoints;
        browser_ = sandbox_->start(
            "chromium",
            {KOVA_CHROMIUM, "--headless", "--no-sandbox", "--no-first-run",
             "--enable-features=WebRtcPipeWireCamera", "--use-fake-ui-for-media-stream",
             "--enable-logging=stderr", "--user-data-dir=" + profile.string(), page},
            {"HOME=" + profile.string()});
    }
    PageLog page() const { return PageLog::parse(browser_->log()); }

    std::unique_ptr<Sandbox> sandbox_;
    std::unique_ptr<ChildProcess> permission_store_;
    std::unique_ptr<ChildProcess> backend_;
    std::unique_ptr<ChildProcess> portal_;
    std::unique_ptr<ChildProcess> browser_;
    int browsers_ = 0;
};

TEST_F(BrowserTest, ChromiumListsKovaAndShowsThePlaceholderThenPushedBars) {
    // Start-up can fail on the browser's side (its capture service restarting under load): a
    // fresh browser is tried, up to three in all. Once the track is open, frames must follow
    // within a few seconds with nothing else consuming the node.
    bool placeholder = false;
    for (int attempt = 0; attempt < 3 && !placeholder; ++attempt) {
        start_browser();
        if (!waitUntil([&] { return page().first("track").has_value(); }, 40s)) continue;
        placeholder = waitUntil(
            [&] {
                const PageLog log = page();
                return std::any_of(log.frames.begin(), log.frames.end(),
                                   [](const auto& f) { return shows(f, kPlaceholder); });
            },
            5s);
    }
    const PageLog opened = page();
    ASSERT_TRUE(placeholder) << "no frame showed the placeholder\n"
                             << opened.tail() << sandbox_->bridge().log();
    const auto devices = opened.first("devices");
    ASSERT_TRUE(devices.has_value());
    EXPECT_NE(devices->find("\"Kova\""), std::string::npos) << *devices;

    auto pusher = sandbox_->start("kova-push", {KOVA_CLI, "push", "--pattern", "bars"});
    const bool bars = waitUntil(
        [&] {
            const PageLog log = page();
            return !log.frames.empty() && shows(log.frames.back(), kBars);
        },
        10s);
    EXPECT_TRUE(bars) << "the pushed bars did not come through\n" << page().tail();
    pusher->stop(SIGTERM, 5s);
    const std::string bridge = sandbox_->bridge().log();
    const auto agreed = bridge.find("consumers agreed on");
    if (agreed != std::string::npos) {
        std::cout << "kova-pipewire: " << bridge.substr(agreed, bridge.find('\n', agreed) - agreed)
                  << "\n";
    }
}

}  // namespace
}  // namespace kova::pipewire::test
