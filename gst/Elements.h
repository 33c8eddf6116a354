// The kova GStreamer elements: kovasink (frames into the camera) and kovasrc (frames out of it).
#pragma once

#include <gst/gst.h>

namespace kova::gst {

// Registers both elements with `plugin`; the plugin module and the tests call it.
gboolean registerElements(GstPlugin* plugin);

GType kovaSinkType();
GType kovaSrcType();

}  // namespace kova::gst
