/*
 * The W5 peer: GStreamer alone recording M cameras, one pipeline per camera
 * (filesrc ! matroskademux ! h264parse ! clocksync ! matroskamux ! filesink),
 * in one process, each pipeline started from a thread of its own.
 *
 * That is how the example camera plugin runs its cameras, and it matters:
 * a pipeline takes its base time when it starts playing, so pipelines
 * started one by one pace their frames at instants of their own, as real
 * cameras do. Chains in one shared pipeline would all wake at the same
 * instants, which on this kind of machine costs far less CPU than the same
 * frames spread over the frame period.
 *
 *   w5-peer SOURCE.mkv CAMERAS OUT_DIR [--no-parser]
 *
 * --no-parser leaves h264parse out: the demuxer's access units go to the
 * muxer as they are. That is the input path of the server's file cameras,
 * which need no parser either, so it shows what the hub alone costs.
 *
 * Writes OUT_DIR/peer-<n>.mkv; returns once every pipeline has reached the
 * end of the source, non-zero when one failed.
 */
#include <gst/gst.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct Camera {
    int number;
    const char* parser; /* "h264parse ! ", or "" */
    const char* source;
    const char* outDir;
    pthread_t thread;
    int failed;
} Camera;

static void* record(void* data) {
    Camera* camera = data;
    gchar* description = g_strdup_printf(
        "filesrc location=\"%s\" ! matroskademux ! %sclocksync ! matroskamux ! "
        "filesink location=\"%s/peer-%d.mkv\"",
        camera->source, camera->parser, camera->outDir, camera->number);
    GError* error = NULL;
    GstElement* pipeline = gst_parse_launch(description, &error);
    g_free(description);
    if (pipeline == NULL) {
        fprintf(stderr, "camera %d: %s\n", camera->number, error != NULL ? error->message : "?");
        camera->failed = 1;
        return NULL;
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* end = gst_bus_timed_pop_filtered(bus, GST_CLOCK_TIME_NONE,
                                                 GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
    camera->failed = GST_MESSAGE_TYPE(end) != GST_MESSAGE_EOS;
    if (camera->failed) fprintf(stderr, "camera %d: the pipeline failed\n", camera->number);
    gst_message_unref(end);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return NULL;
}

int main(int argc, char** argv) {
    const int noParser = argc == 5 && strcmp(argv[4], "--no-parser") == 0;
    if ((argc != 4 && !noParser) || atoi(argv[2]) < 1) {
        fprintf(stderr, "usage: %s SOURCE.mkv CAMERAS OUT_DIR [--no-parser]\n", argv[0]);
        return 2;
    }
    gst_init(&argc, &argv);
    const int count = atoi(argv[2]);
    Camera* cameras = calloc((size_t)count, sizeof(*cameras));
    if (cameras == NULL) return 1;
    for (int i = 0; i < count; ++i) {
        cameras[i] = (Camera){i + 1, noParser ? "" : "h264parse ! ", argv[1], argv[3], 0, 0};
        if (pthread_create(&cameras[i].thread, NULL, record, &cameras[i]) != 0) return 1;
    }
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        pthread_join(cameras[i].thread, NULL);
        failed |= cameras[i].failed;
    }
    free(cameras);
    return failed;
}
