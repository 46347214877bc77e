// GStreamer as a hub: appsrc -> tee -> (queue -> appsink) for each consumer.
//
// Every producer thread pushes into the one appsrc (its push is
// thread-safe): gst_buffer_fill makes the one copy. The tee hands the same
// buffer to each branch; each queue has a streaming thread of its own, on
// which its appsink's callback checks the sample in place. No element may
// drop: appsrc, queue and appsink are all unbounded and non-leaky, and
// appsink does not sync to the clock.

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <vector>

#include "peers/peers.h"

namespace bench {

namespace {

// What an appsink callback needs to find its consumer.
struct SinkContext {
    PeerRun* run;
    int index;
};

GstFlowReturn onSample(GstAppSink* sink, gpointer data) {
    const auto* context = static_cast<const SinkContext*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) return GST_FLOW_EOS;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        context->run->deliver(context->index, map.data, map.size);
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

GstElement* element(const char* factory) { return gst_element_factory_make(factory, nullptr); }

class GstHub {
public:
    explicit GstHub(PeerRun& run) : run(run), pipeline(gst_pipeline_new("bench")) {}
    ~GstHub() {
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        }
    }

    bool build(std::string& error);
    void produce();
    bool finish(std::string& error);

private:
    bool addBranch(GstElement* tee, int index);

    PeerRun& run;
    GstElement* pipeline;
    GstElement* source = nullptr;
    std::vector<SinkContext> contexts;  // filled before the pipeline runs
};

bool GstHub::addBranch(GstElement* tee, int index) {
    GstElement* queue = element("queue");
    GstElement* sink = element("appsink");
    if (!queue || !sink) return false;
    g_object_set(queue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                 static_cast<guint64>(0), nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, "max-buffers", 0u, "drop", FALSE,
                 "enable-last-sample", FALSE, "qos", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = onSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &contexts[static_cast<std::size_t>(index)],
                               nullptr);
    gst_bin_add_many(GST_BIN(pipeline), queue, sink, nullptr);
    return gst_element_link_many(tee, queue, sink, nullptr);
}

bool GstHub::build(std::string& error) {
    source = element("appsrc");
    GstElement* tee = element("tee");
    if (!pipeline || !source || !tee) {
        error = "appsrc, tee, queue or appsink is missing (gstreamer1.0-plugins-base)";
        return false;
    }
    GstCaps* caps = gst_caps_new_empty_simple("application/x-tessard-bench");
    g_object_set(source, "caps", caps, "is-live", FALSE, "format", GST_FORMAT_BYTES, "block", FALSE,
                 "max-bytes", static_cast<guint64>(0), "emit-signals", FALSE, nullptr);
    gst_caps_unref(caps);
    gst_bin_add_many(GST_BIN(pipeline), source, tee, nullptr);
    if (!gst_element_link(source, tee)) return error = "appsrc -> tee", false;
    for (int c = 0; c < run.config.workload.consumers; ++c) contexts.push_back({&run, c});
    for (int c = 0; c < run.config.workload.consumers; ++c) {
        if (!addBranch(tee, c)) return error = "a queue -> appsink branch", false;
    }
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        return error = "the pipeline would not play", false;
    }
    return true;
}

void GstHub::produce() {
    GstAppSrc* appsrc = GST_APP_SRC(source);
    const bool noCopy = run.config.fault == Fault::NoCopy;
    runProducerThreads(run, [appsrc, noCopy](int) {
        return [appsrc, noCopy](const std::uint8_t* data, std::size_t bytes) {
            GstBuffer* buffer;
            if (noCopy) {
                // The fault: the buffer wraps the producer's own memory.
                buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY,
                                                     const_cast<std::uint8_t*>(data), bytes, 0,
                                                     bytes, nullptr, nullptr);
            } else {
                buffer = gst_buffer_new_allocate(nullptr, bytes, nullptr);
                gst_buffer_fill(buffer, 0, data, bytes);
            }
            return gst_app_src_push_buffer(appsrc, buffer) == GST_FLOW_OK;
        };
    });
}

// Ends the stream and reports an error any element posted.
bool GstHub::finish(std::string& error) {
    gst_app_src_end_of_stream(GST_APP_SRC(source));
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, 5 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    bool clean = true;
    if (message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* failure = nullptr;
        gst_message_parse_error(message, &failure, nullptr);
        error = failure ? failure->message : "a pipeline error";
        g_clear_error(&failure);
        clean = false;
    }
    if (message) gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    return clean;
}

}  // namespace

bool runGstreamer(PeerRun& run, std::string& error) {
    gst_init(nullptr, nullptr);
    GstHub hub(run);
    if (!hub.build(error)) return false;
    hub.produce();
    run.watch.waitUntilOver();
    return hub.finish(error);
}

}  // namespace bench
