/*
 * A stand-in for network cameras in the video tests: an RTSP server on
 * 127.0.0.1, on a free port, serving one H.264 stream per mount point.
 *
 *   rtsp_camera_server WIDTHxHEIGHT KEY_INTERVAL [KEY_INTERVAL ...]
 *
 * Mount point /cameraN serves a live test pattern of the given size at 25
 * frames/s, encoded with a key frame every KEY_INTERVAL frames; every client
 * gets a stream of its own, starting with a key frame. Once it listens, the
 * server prints one URL per line ("rtsp://127.0.0.1:PORT/camera1"), and it
 * ends when its standard input is closed.
 *
 * Threads: the main thread runs the GLib main loop that serves the clients;
 * a second thread waits for the end of standard input and stops the loop.
 */
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static gpointer awaitEndOfInput(gpointer loop) {
    char buffer[256];
    while (read(STDIN_FILENO, buffer, sizeof(buffer)) > 0) {
    }
    g_main_loop_quit(loop);
    return NULL;
}

static void mountCamera(GstRTSPMountPoints* mounts, int number, int width, int height, int keyInterval) {
    char launch[1024];
    snprintf(launch, sizeof(launch),
             "( videotestsrc is-live=true pattern=ball ! video/x-raw,width=%d,height=%d,framerate=25/1 "
             "! x264enc tune=zerolatency speed-preset=ultrafast bitrate=300 key-int-max=%d "
             "! rtph264pay name=pay0 pt=96 )",
             width, height, keyInterval);
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launch);
    gst_rtsp_media_factory_set_shared(factory, FALSE);
    char path[32];
    snprintf(path, sizeof(path), "/camera%d", number);
    gst_rtsp_mount_points_add_factory(mounts, path, factory);
}

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    int width = 0, height = 0;
    if (argc < 3 || sscanf(argv[1], "%dx%d", &width, &height) != 2) {
        fprintf(stderr, "usage: %s WIDTHxHEIGHT KEY_INTERVAL [KEY_INTERVAL ...]\n", argv[0]);
        return 2;
    }
    GMainLoop* loop = g_main_loop_new(NULL, FALSE);
    GstRTSPServer* server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server, "127.0.0.1");
    gst_rtsp_server_set_service(server, "0");
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
    for (int i = 2; i < argc; ++i) mountCamera(mounts, i - 1, width, height, atoi(argv[i]));
    g_object_unref(mounts);
    if (gst_rtsp_server_attach(server, NULL) == 0) {
        fprintf(stderr, "cannot listen\n");
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        printf("rtsp://127.0.0.1:%d/camera%d\n", gst_rtsp_server_get_bound_port(server), i - 1);
    }
    fflush(stdout);
    GThread* watcher = g_thread_new("stdin", awaitEndOfInput, loop);
    g_main_loop_run(loop);
    g_thread_join(watcher);
    g_object_unref(server);
    g_main_loop_unref(loop);
    return 0;
}
