// Registration of the kova elements.
#include "Elements.h"

namespace kova::gst {

gboolean registerElements(GstPlugin* plugin) {
    return gst_element_register(plugin, "kovasink", GST_RANK_NONE, kovaSinkType()) &&
           gst_element_register(plugin, "kovasrc", GST_RANK_NONE, kovaSrcType());
}

}  // namespace kova::gst
