/* A plugin whose Load breaks the contract in the way its file name says, so
 * that one library, copied under several names, shows the inspector every
 * breach of Load: "core_id.so" claims the core's id, "front_id.so" the id
 * the core puts first, "rejects_with_thread.so" rejects itself after
 * starting a thread that never ends, "sends_in_load.so" sends a message
 * and a read request from Load, "crashes_in_load.so" dies in Load,
 * "hangs_in_load.so" never returns. Under any other name it is a plugin
 * without fault. It exports every entry point. */
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "test_plugin.h"

#define LOAD_BREACHES_ID UINT64_C(0x10ADB0)

static int named(const char* name) { return strcmp(testPluginFileName(), name) == 0; }

static void* sleepForEver(void* unused) {
    (void)unused;
    for (;;) pause();
    return NULL;
}

static void sendFromLoad(CoreCallback callback) {
    static const char text[] = "hello from Load";
    CoreMessage message = testMessage(LOAD_BREACHES_ID, MSG_SELECT_1, 0x77, text, sizeof text - 1);
    testSend(callback, &message);
    CoreMessage request = testMessage(0, MSG_SELECT_2, 0x78, NULL, 0);
    request.handle = 0x5EE;
    testSend(callback, &request);
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    pthread_t thread;
    info->id = LOAD_BREACHES_ID;
    info->writeEvents = 1;
    info->eventMasks[1] = tessardDeliveryKey(0x77);
    if (named("core_id.so")) info->id = CORE_ID;
    if (named("front_id.so")) info->id = 0x60000;
    if (named("sends_in_load.so")) sendFromLoad(context->callback);
    if (named("crashes_in_load.so")) raise(SIGSEGV);
    if (named("hangs_in_load.so")) sleepForEver(NULL);
    if (named("rejects_with_thread.so")) {
        if (pthread_create(&thread, NULL, sleepForEver, NULL) == 0) pthread_detach(thread);
        info->loadError = 5;
    }
    return 0;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    (void)request;
    (void)reply;
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    (void)request;
    reply->retain = 0;
    return 0;
}

int32_t Seek(const void* request, void* reply) {
    (void)request;
    (void)reply;
    return 0;
}

TEST_PLUGIN_EMPTY_OPEN
TEST_PLUGIN_EMPTY_CLOSE
TEST_PLUGIN_EMPTY_UNLOAD
TEST_PLUGIN_EMPTY_IOCTL
