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
 * The writer is used from one thread at a time, which does its muxing and
 * writing.
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

/* ---- Matroska writer ----------------------------------------------- */

/* The writer pushes each access unit into matroskamux from the calling
 * thread through a pad of its own: the muxer and the file sink do their
 * work on that thread, with no queue and no streaming thread between. */
typedef struct ExampleMkvWriter {
    GstElement* pipeline; /* matroskamux ! filesink; NULL while no file is open */
    GstPad* pad;          /* ours, linked to the muxer's video pad */
    GstPad* muxPad;       /* the muxer's request pad */
    int64_t startUtcUs;   /* the wall-clock time of timestamp 0 */
    int64_t lastUtcUs;
    int64_t lastDtsNs;    /* of the last unit pushed that had one */
    int64_t latestPtsNs;  /* the latest presentation time pushed */
    uint64_t frames;
    uint64_t bytes;       /* access-unit bytes pushed */
    uint8_t* config;      /* the avcC record the file was opened with */
    size_t configSize;
    /* The first unit, held back until a second one comes: the muxer writes
     * an unreadable file of a single unit that has no duration, and only
     * the second unit tells how long the first one lasts. */
    GstBuffer* first;
} ExampleMkvWriter;

static inline void exampleMkvDrop(ExampleMkvWriter* writer) {
    if (writer->first != NULL) gst_buffer_unref(writer->first);
    writer->first = NULL;
    if (writer->pipeline != NULL) gst_element_set_state(writer->pipeline, GST_STATE_NULL);
    if (writer->pad != NULL) {
        gst_pad_set_active(writer->pad, FALSE);
        gst_object_unref(writer->pad);
    }
    if (writer->muxPad != NULL) {
        GstElement* mux = gst_pad_get_parent_element(writer->muxPad);
        gst_element_release_request_pad(mux, writer->muxPad);
        gst_object_unref(mux);
        gst_object_unref(writer->muxPad);
    }
    if (writer->pipeline != NULL) gst_object_unref(writer->pipeline);
    free(writer->config);
    writer->pipeline = NULL;
    writer->pad = writer->muxPad = NULL;
    writer->config = NULL;
}

/* The events that open a stream on our pad: its start, its format (with
 * the decoder configuration), and a time segment. */
static inline int exampleMkvStartStream(ExampleMkvWriter* writer, const ExampleVideoInfo* first) {
    GstBuffer* config = gst_buffer_new_memdup(writer->config, writer->configSize);
    GstCaps* caps = gst_caps_new_simple(
        "video/x-h264", "stream-format", G_TYPE_STRING, "avc", "alignment", G_TYPE_STRING, "au",
        "width", G_TYPE_INT, (int)first->width, "height", G_TYPE_INT, (int)first->height,
        "codec_data", GST_TYPE_BUFFER, config, NULL);
    gst_buffer_unref(config);
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    const int started = gst_pad_push_event(writer->pad, gst_event_new_stream_start("video")) &&
                        gst_pad_push_event(writer->pad, gst_event_new_caps(caps)) &&
                        gst_pad_push_event(writer->pad, gst_event_new_segment(&segment));
    gst_caps_unref(caps);
    return started;
}

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
        "matroskamux name=mux ! filesink name=sink async=false", why, whySize);
    if (writer->pipeline == NULL) return ENOSYS;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(writer->pipeline), "sink");
    g_object_set(sink, "location", path, NULL);
    gst_object_unref(sink);
    GstElement* mux = gst_bin_get_by_name(GST_BIN(writer->pipeline), "mux");
    writer->muxPad = gst_element_request_pad_simple(mux, "video_%u");
    gst_object_unref(mux);
    writer->pad = gst_pad_new("source", GST_PAD_SRC);
    writer->startUtcUs = first->utcUs;
    writer->lastUtcUs = first->utcUs;
    if (writer->muxPad != NULL && gst_pad_link(writer->pad, writer->muxPad) == GST_PAD_LINK_OK &&
        gst_pad_set_active(writer->pad, TRUE) &&
        gst_element_set_state(writer->pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE &&
        exampleMkvStartStream(writer, first)) {
        return 0;
    }
    snprintf(why, whySize, "the file cannot be written");
    exampleMkvDrop(writer);
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

/* Times a unit from the wall clock, counted from the start of the file.
 * Matroska keeps milliseconds, so time must move on by at least one from
 * unit to unit, even where a network camera's timestamps bunch up; but a
 * stream that reorders its pictures (B-frames) presents some units before
 * the one sent ahead of them, and those must keep their time, or the
 * pictures play out of order. A unit that comes with its own decoding time
 * (from an encoder) is kept apart by that. A demuxer or RTP gives none: a
 * unit then presented more than a millisecond before the latest one is a
 * reordered one, and the buffers carry no decoding time, which Matroska
 * does not store anyway. */
static inline void exampleMkvStamp(ExampleMkvWriter* writer, const ExampleVideoInfo* info,
                                   GstBuffer* buffer) {
    const int64_t step = 1000000;
    const int64_t reorder = info->ptsNs - info->dtsNs;
    if (reorder != 0) {
        int64_t dts = (info->utcUs - writer->startUtcUs) * 1000 - reorder;
        if (writer->frames > 0 && dts < writer->lastDtsNs + step) dts = writer->lastDtsNs + step;
        writer->lastDtsNs = dts;
        GST_BUFFER_DTS(buffer) = (GstClockTime)(dts < 0 ? 0 : dts);
        GST_BUFFER_PTS(buffer) = (GstClockTime)(dts + reorder < 0 ? 0 : dts + reorder);
        return;
    }
    int64_t pts = (info->utcUs - writer->startUtcUs) * 1000;
    if (writer->frames > 0 && pts >= writer->latestPtsNs - step && pts < writer->latestPtsNs + step) {
        pts = writer->latestPtsNs + step;
    }
    if (pts > writer->latestPtsNs) writer->latestPtsNs = pts;
    GST_BUFFER_PTS(buffer) = (GstClockTime)(pts < 0 ? 0 : pts);
}

/* Appends one access unit; its timestamps are its wall-clock time from the
 * start of the file. 0, or an errno value. */
static inline int exampleMkvPush(ExampleMkvWriter* writer, const ExampleVideoInfo* info,
                                 const uint8_t* annexB, size_t length) {
    GstBuffer* buffer = gst_buffer_new_allocate(NULL, exampleAvcBound(length), NULL);
    if (buffer == NULL) return ENOMEM;
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    const size_t size = exampleAnnexBToAvc(annexB, length, map.data);
    gst_buffer_unmap(buffer, &map);
    gst_buffer_set_size(buffer, (gssize)size);
    exampleMkvStamp(writer, info, buffer);
    if (!info->keyFrame) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (writer->frames == 0) {
        writer->first = buffer;
    } else {
        GstBuffer* first = writer->first;
        writer->first = NULL;
        if (first != NULL && gst_pad_push(writer->pad, first) != GST_FLOW_OK) {
            gst_buffer_unref(buffer);
            return EIO;
        }
        if (gst_pad_push(writer->pad, buffer) != GST_FLOW_OK) return EIO;
    }
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
    if (writer->first != NULL) {
        /* A file of one unit: it lasts a frame of 25 per second. */
        GST_BUFFER_DURATION(writer->first) = 40 * GST_MSECOND;
        if (gst_pad_push(writer->pad, writer->first) != GST_FLOW_OK) error = EIO;
        writer->first = NULL;
    }
    if (writer->pipeline != NULL) {
        gst_pad_push_event(writer->pad, gst_event_new_eos());
        if (!exampleAwaitEnd(writer->pipeline, 30 * GST_SECOND, why, whySize)) error = EIO;
    }
    exampleMkvDrop(writer);
    return error;
}

#endif /* EXAMPLE_GST_H */
