// Pipelines in process for the element tests, and the test binary's start: GStreamer with the
// kova elements registered statically.
#include "GstSupport.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "Elements.h"

namespace kova::gst::test {

Pipeline::Pipeline(const std::string& description) {
    GError* error = nullptr;
    pipeline_ = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) {
        ADD_FAILURE() << "cannot build " << description << ": " << error->message;
        g_error_free(error);
        if (pipeline_ != nullptr) gst_object_unref(pipeline_);
        pipeline_ = nullptr;
    }
}

Pipeline::~Pipeline() {
    if (pipeline_ == nullptr) return;
    stop();
    gst_object_unref(pipeline_);
}

GstElement* Pipeline::element(const char* name) const {
    GstElement* found = gst_bin_get_by_name(GST_BIN(pipeline_), name);
    if (found != nullptr) gst_object_unref(found);  // the pipeline keeps it
    return found;
}

bool Pipeline::setState(GstState state) {
    if (gst_element_set_state(pipeline_, state) == GST_STATE_CHANGE_FAILURE) return false;
    return gst_element_get_state(pipeline_, nullptr, nullptr, 10 * GST_SECOND) !=
           GST_STATE_CHANGE_FAILURE;
}

bool Pipeline::play() {
    return setState(GST_STATE_PLAYING);
}

bool Pipeline::start() {
    return gst_element_set_state(pipeline_, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

bool Pipeline::stop() {
    return setState(GST_STATE_NULL);
}

std::optional<std::string> Pipeline::waitForEnd(std::chrono::milliseconds timeout) {
    GstBus* bus = gst_element_get_bus(pipeline_);
    GstMessage* message =
        gst_bus_timed_pop_filtered(bus, GstClockTime(timeout.count()) * GST_MSECOND,
                                   GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    gst_object_unref(bus);
    if (message == nullptr) return std::nullopt;
    std::string text;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        text = std::string(error->message) + " (" + (debug ? debug : "") + ")";
        g_error_free(error);
        g_free(debug);
    }
    gst_message_unref(message);
    return text;
}

GstSample* Pipeline::pull(const char* name, std::chrono::milliseconds timeout) {
    return gst_app_sink_try_pull_sample(GST_APP_SINK(element(name)),
                                        GstClockTime(timeout.count()) * GST_MSECOND);
}

std::uint64_t Pipeline::stat(const char* name, const char* field) const {
    GstStructure* stats = nullptr;
    g_object_get(element(name), "stats", &stats, nullptr);
    guint64 value = 0;
    EXPECT_TRUE(stats && gst_structure_get_uint64(stats, field, &value)) << "no stat " << field;
    if (stats != nullptr) gst_structure_free(stats);
    return value;
}

std::set<ino_t> memfdInodes(pid_t pid, const std::string& name) {
    std::set<ino_t> inodes;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target.string().find("memfd:" + name) == std::string::npos) continue;
        struct stat status {};
        if (::stat(entry.path().c_str(), &status) == 0) inodes.insert(status.st_ino);
    }
    return inodes;
}

ino_t inodeOf(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? status.st_ino : 0;
}

}  // namespace kova::gst::test

// GLib's library constructor allocates memory it keeps for the life of the process; only what
// is allocated there is not reported as leaked. GLib is built without frame pointers, so the
// stacks of its allocations are unwound the slow way to find where they come from.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:_dl_init\n";
}
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    gst_init(&argc, &argv);
    if (!gst_plugin_register_static(
            GST_VERSION_MAJOR, GST_VERSION_MINOR, "kova", "Frames into and out of the Kova camera",
            kova::gst::registerElements, "test", "Proprietary", "kova", "kova", "kova")) {
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    gst_deinit();
    return result;
}
