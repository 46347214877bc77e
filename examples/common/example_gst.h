/*
 * GStreamer helpers the example plugins share: starting GStreamer, waiting
 * for a pipeline to end, and a Matroska file writer fed with access units.
 *
 * GStreamer is started once per process (gst_init_check may be called by
 * every plugin; the later calls do nothing) and never shut down: its
 * elements stay loaded for the life of the process. Every pipeline a plugin
 * builds is set to NULL and released before its Close returns, so that no
 * GStreamer thread calls into a plugin whose library is unloaded.
 *
 * The writer is used from one thread at a time; its pipeline's own
 * streaming thread touches nothing of it.
 *
 * Header only, plain C, like example_support.h.
 */
#ifndef EXAMPLE_GST_H
#define EXAMPLE_GST_H

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include "example_support.h"
#include "example_video.h"

/* Starts GStreamer; 0, or an errno value after a console line. */
static inline int exampleStartGstreamer(const char* plugin) {
    GError* error = NULL;
    if (gst_init_check(NULL, NULL, &error)) return 0;
    examplePrint("%s: GStreamer does not start: %s", plugin,
                 error != NULL ? error->message : "no reason given");
    g_clear_error(&error);
    return ENOSYS;
}

/* Builds a pipeline from a gst-launch description; NULL, with the reason in
 * `why`, when it cannot be built. */
static inline GstElement* exampleBuildPipeline(const char* description, char* why, size_t whySize) {
    GError* error = NULL;
    GstElement* pipeline = gst_parse_launch(description, &error);
    if (pipeline != NULL && error == NULL) return pipeline;
    snprintf(why, whySize, "%s", error != NULL ? error->message : "cannot build the pipeline");
    g_clear_error(&error);
    if (pipeline != NULL) gst_object_unref(pipeline);
    return NULL;
}

/* Waits up to `timeout` for the end of the stream or an error; 1 on the
 * end, 0 otherwise, with the error's text (or "timed out") in `why`. */
static inline int exampleAwaitEnd(GstElement* pipeline, GstClockTime timeout, char* why,
                                  size_t whySize) {
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message =
        gst_bus_timed_pop_filtered(bus, timeout, GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
    gst_object_unref(bus);
    if (message == NULL) {
        snprintf(why, whySize, "timed out");
        return 0;
    }
    const int ended = GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    if (!ended) {
        GError* error = NULL;
        gst_message_parse_error(message, &error, NULL);
        snprintf(why, whySize, "%s", error != NULL ? error->message : "error");
        g_clear_error(&error);
    }
    gst_message_unref(message);
    return ended;
}

static inline void exampleDropPipeline(GstElement** pipeline) {
    if (*pipeline == NULL) return;
    gst_element_set_state(*pipeline, GST_STATE_NULL);
    gst_object_unref(*pipeline);
    *pipeline = NULL;
}

/* ---- Matroska writer ------------------------------------------------ */

typedef struct ExampleMkvWriter {
    GstElement* pipeline; /* NULL while no file is open */
    GstElement* source;   /* the appsrc; a reference of its own */
    int64_t startUtcUs;   /* the wall-clock time of timestamp 0 */
    int64_t lastUtcUs;
    int64_t lastDtsNs;    /* of the last unit pushed */
    uint64_t frames;
    uint64_t bytes;       /* access-unit bytes pushed */
    uint8_t* config;      /* the avcC record the file was opened with */
    size_t configSize;
} ExampleMkvWriter;

/* Opens `path` for a stream that starts with the key frame `annexB`; 0, or
 * an errno value with the reason in `why`. */
static inline int exampleMkvOpen(ExampleMkvWriter* writer, const char* path,
                                 const ExampleVideoInfo* first, const uint8_t* annexB,
                                 size_t length, char* why, size_t whySize) {
    memset(writer, 0, sizeof(*writer));
    writer->config = exampleAvcConfig(annexB, length, &writer->configSize);
    if (writer->config == NULL) {
        snprintf(why, whySize, "the first frame has no SPS and PPS");
        return EINVAL;
    }
    writer->pipeline = exampleBuildPipeline(
        "appsrc name=source format=time ! matroskamux name=mux ! filesink name=sink", why, whySize);
    if (writer->pipeline == NULL) return ENOSYS;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(writer->pipeline), "sink");
    g_object_set(sink, "location", path, NULL);
    gst_object_unref(sink);
    GstBuffer* config = gst_buffer_new_memdup(writer->config, writer->configSize);
    GstCaps* caps = gst_caps_new_simple(
        "video/x-h264", "stream-format", G_TYPE_STRING, "avc", "alignment", G_TYPE_STRING, "au",
        "width", G_TYPE_INT, (int)first->width, "height", G_TYPE_INT, (int)first->height,
        "codec_data", GST_TYPE_BUFFER, config, NULL);
    gst_buffer_unref(config);
    writer->source = gst_bin_get_by_name(GST_BIN(writer->pipeline), "source");
    g_object_set(writer->source, "caps", caps, NULL);
    gst_caps_unref(caps);
    writer->startUtcUs = first->utcUs;
    writer->lastUtcUs = first->utcUs;
    if (gst_element_set_state(writer->pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
        return 0;
    }
    snprintf(why, whySize, "the file cannot be written");
    gst_object_unref(writer->source);
    exampleDropPipeline(&writer->pipeline);
    free(writer->config);
    writer->config = NULL;
    return EIO;
}

/* Whether `annexB` (a key frame) carries the parameter sets the open file
 * was started with; a new file is needed when it does not. */
static inline int exampleMkvSameConfig(const ExampleMkvWriter* writer, const uint8_t* annexB,
                                       size_t length) {
    size_t size = 0;
    uint8_t* config = exampleAvcConfig(annexB, length, &size);
    const int same = config != NULL && size == writer->configSize &&
                     memcmp(config, writer->config, size) == 0;
    free(config);
    return same;
}

/* Appends one access unit; its timestamps are its wall-clock time from the
 * start of the file. 0, or an errno value. */
static inline int exampleMkvPush(ExampleMkvWriter* writer, const ExampleVideoInfo* info,
                                 const uint8_t* annexB, size_t length) {
    const size_t size = exampleAvcSize(annexB, length);
    GstBuffer* buffer = gst_buffer_new_allocate(NULL, size, NULL);
    if (buffer == NULL) return ENOMEM;
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    exampleAnnexBToAvc(annexB, length, map.data);
    gst_buffer_unmap(buffer, &map);
    /* Matroska keeps milliseconds: decoding times must grow by at least one,
     * even where a network camera's timestamps bunch up. */
    int64_t dts = (info->utcUs - writer->startUtcUs) * 1000 - (info->ptsNs - info->dtsNs);
    if (writer->frames > 0 && dts < writer->lastDtsNs + 1000000) dts = writer->lastDtsNs + 1000000;
    const int64_t pts = dts + (info->ptsNs - info->dtsNs);
    writer->lastDtsNs = dts;
    GST_BUFFER_PTS(buffer) = (GstClockTime)(pts < 0 ? 0 : pts);
    GST_BUFFER_DTS(buffer) = (GstClockTime)(dts < 0 ? 0 : dts);
    if (!info->keyFrame) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (gst_app_src_push_buffer(GST_APP_SRC(writer->source), buffer) != GST_FLOW_OK) return EIO;
    writer->lastUtcUs = info->utcUs;
    ++writer->frames;
    writer->bytes += length;
    return 0;
}

/* Ends the stream and waits until the file is complete (Matroska writes its
 * index and durations at the end). 0, or an errno value with the reason in
 * `why`. Harmless when no file is open. */
static inline int exampleMkvFinish(ExampleMkvWriter* writer, char* why, size_t whySize) {
    int error = 0;
    if (writer->pipeline != NULL) {
        gst_app_src_end_of_stream(GST_APP_SRC(writer->source));
        if (!exampleAwaitEnd(writer->pipeline, 30 * GST_SECOND, why, whySize)) error = EIO;
        gst_object_unref(writer->source);
        exampleDropPipeline(&writer->pipeline);
    }
    free(writer->config);
    writer->config = NULL;
    writer->source = NULL;
    return error;
}

#endif /* EXAMPLE_GST_H */
