// libgstkova: the plugin module GStreamer loads, holding kovasink and kovasrc.
#include "Elements.h"

// GST_PLUGIN_DEFINE names the package the plugin comes from.
#define PACKAGE "kova"

namespace {

gboolean pluginInit(GstPlugin* plugin) {
    return kova::gst::registerElements(plugin);
}

}  // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kova,
                  "Frames into and out of the Kova camera", pluginInit, KOVA_VERSION, "Proprietary",
                  "kova", "kova")
