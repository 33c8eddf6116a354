/* The C interface of libkova-client, compiled as C, against a real kova-camera on a private
 * socket: what C callers rely on beyond the library's own tests. Every failure comes back as its
 * status with a per-thread message; a timeout of 0 only asks; a frame painted in place arrives
 * exactly; frames outlive their handles and may be released on other threads. */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "kova/kova_c.h"

static int failures = 0;

static void report(int line, const char* condition) {
    fprintf(stderr, "%s:%d: CHECK failed: %s (last error: %s)\n", __FILE__, line, condition,
            kova_last_error());
    ++failures;
}

#define CHECK(condition) ((condition) ? (void)0 : report(__LINE__, #condition))
/* A check the rest of the test cannot go on without. */
#define REQUIRE(condition)                \
    do {                                  \
        if (!(condition)) {               \
            report(__LINE__, #condition); \
            return;                       \
        }                                 \
    } while (0)

static char folder[256];
static char socket_path[300];
static pid_t camera_pid = -1;

/* Starts the camera (its log goes to this test's stderr) and waits until a viewer can open. */
static int start_camera(void) {
    const char* tmp = getenv("TMPDIR");
    snprintf(folder, sizeof folder, "%s/kova-capi-XXXXXX", tmp != NULL ? tmp : "/tmp");
    if (mkdtemp(folder) == NULL) return 0;
    snprintf(socket_path, sizeof socket_path, "%s/camera.sock", folder);
    camera_pid = fork();
    if (camera_pid == 0) {
        setenv("KOVA_SOCKET", socket_path, 1);
        execl(KOVA_CAMERA_EXECUTABLE, KOVA_CAMERA_EXECUTABLE, (char*)NULL);
        _exit(127);
    }
    for (int attempt = 0; attempt < 200; ++attempt) {
        kova_viewer* viewer = NULL;
        if (kova_viewer_open(socket_path, 0, &viewer) == KOVA_OK) {
            kova_viewer_free(viewer);
            return 1;
        }
        const struct timespec pause = {0, 50000000L};
        nanosleep(&pause, NULL);
    }
    return 0;
}

/* Stops the camera; it must exit cleanly (a sanitizer report in it fails the test). */
static void stop_camera(void) {
    if (camera_pid <= 0) return;
    kill(camera_pid, SIGTERM);
    int status = 0;
    while (waitpid(camera_pid, &status, 0) < 0 && errno == EINTR) {
    }
    camera_pid = -1;
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    rmdir(folder);
}

/* A picture unlike the placeholder. */
static uint8_t pattern_byte(size_t row, size_t byte) {
    return (uint8_t)(row * 7u + byte * 13u + 101u);
}

/* The first row of `frame` unlike the pattern, or -1. */
static long first_row_unlike(const kova_viewer_frame* frame) {
    const uint8_t* pixels = kova_viewer_frame_pixels(frame);
    for (size_t row = 0; row < KOVA_FRAME_HEIGHT; ++row) {
        for (size_t byte = 0; byte < KOVA_FRAME_STRIDE; ++byte) {
            if (pixels[row * kova_viewer_frame_stride(frame) + byte] != pattern_byte(row, byte))
                return (long)row;
        }
    }
    return -1;
}

static char message_elsewhere[128];

/* On another thread: releases a viewer's frame, and fails a call of its own. */
static void* elsewhere(void* frame) {
    kova_viewer_frame_release(frame);
    kova_producer_set_frame_rate(NULL, 1);
    snprintf(message_elsewhere, sizeof message_elsewhere, "%s", kova_last_error());
    return NULL;
}

static void test_failures_come_back_as_their_status_with_a_message(void) {
    char nowhere[320];
    snprintf(nowhere, sizeof nowhere, "%s/nobody.sock", folder);
    kova_producer* producer = NULL;
    kova_viewer* viewer = NULL;
    kova_viewer_frame* received = NULL;
    CHECK(kova_producer_open(nowhere, 0, &producer) == KOVA_ERROR_NO_CAMERA);
    CHECK(strstr(kova_last_error(), nowhere) != NULL);
    CHECK(kova_producer_open(socket_path, 0, NULL) == KOVA_ERROR_INVALID_ARGUMENT);
    CHECK(kova_producer_push(NULL, NULL, KOVA_TIME_NOW) == KOVA_ERROR_INVALID_ARGUMENT);
    CHECK(kova_viewer_next_frame(NULL, 0, &received) == KOVA_ERROR_INVALID_ARGUMENT);
    CHECK(kova_viewer_open(socket_path, 0x4, &viewer) == KOVA_ERROR_INVALID_ARGUMENT);
    CHECK(producer == NULL && viewer == NULL);
    CHECK(strstr(kova_last_error(), "flags") != NULL);
    kova_producer_free(NULL);
    kova_viewer_frame_release(NULL);

    /* A timeout of 0 asks without waiting: it is no error. */
    REQUIRE(kova_viewer_open(socket_path, 0, &viewer) == KOVA_OK);
    CHECK(kova_viewer_next_frame(viewer, 0, &received) == KOVA_OK);
    kova_viewer_frame_release(received);
    CHECK(kova_viewer_next_frame(viewer, -1, &received) == KOVA_ERROR_INVALID_ARGUMENT);
    kova_viewer_free(viewer);
}

/* Painted in place, pushed with a chosen time, read back exactly; then both handles go before
 * their frames, and the viewer's frame is released on another thread. */
static void test_a_frame_painted_in_place_arrives_exactly_and_outlives_its_handles(void) {
    kova_viewer* viewer = NULL;
    kova_producer* producer = NULL;
    kova_producer_frame* painted = NULL;
    REQUIRE(kova_viewer_open(socket_path, 0, &viewer) == KOVA_OK);
    REQUIRE(kova_producer_open(socket_path, 0, &producer) == KOVA_OK);
    REQUIRE(kova_producer_acquire(producer, 1000, &painted) == KOVA_OK);
    uint8_t* pixels = kova_producer_frame_pixels(painted);
    for (size_t row = 0; row < KOVA_FRAME_HEIGHT; ++row) {
        for (size_t byte = 0; byte < KOVA_FRAME_STRIDE; ++byte)
            pixels[row * kova_producer_frame_stride(painted) + byte] = pattern_byte(row, byte);
    }
    /* Catch up first: the camera skips a viewer that lags (a frame it cannot take is missed). */
    kova_viewer_frame* frame = NULL;
    while (kova_viewer_next_frame(viewer, 0, &frame) == KOVA_OK && frame != NULL)
        kova_viewer_frame_release(frame);
    const uint64_t stamp = kova_host_time_now();
    REQUIRE(kova_producer_push(producer, painted, stamp) == KOVA_OK);
    for (int attempt = 0; attempt < 100; ++attempt) {
        kova_viewer_frame_release(frame);
        frame = NULL;
        REQUIRE(kova_viewer_next_frame(viewer, 5000, &frame) == KOVA_OK && frame != NULL);
        if (kova_viewer_frame_origin(frame) == KOVA_ORIGIN_SINK) break;
    }
    REQUIRE(kova_viewer_frame_origin(frame) == KOVA_ORIGIN_SINK);
    CHECK(kova_viewer_frame_host_time_ns(frame) == stamp);
    CHECK(first_row_unlike(frame) == -1);
    CHECK(kova_viewer_frame_intact(frame) == 1);

    kova_producer_frame* lent = NULL;
    REQUIRE(kova_producer_acquire(producer, 1000, &lent) == KOVA_OK);
    kova_producer_free(producer);
    kova_viewer_free(viewer);
    memset(kova_producer_frame_pixels(lent), 3, KOVA_FRAME_BYTES);
    kova_producer_frame_release(lent);
    CHECK(first_row_unlike(frame) == -1);
    /* Each thread has its own last message. */
    CHECK(kova_viewer_open(socket_path, 0x1, &viewer) == KOVA_ERROR_INVALID_ARGUMENT);
    pthread_t thread;
    CHECK(pthread_create(&thread, NULL, elsewhere, frame) == 0);
    pthread_join(thread, NULL);
    CHECK(strstr(kova_last_error(), "flags") != NULL);
    CHECK(strstr(message_elsewhere, "flags") == NULL && strlen(message_elsewhere) > 0);
}

/* The camera's refusals keep their own status and say who or why. */
static void test_refusals_name_the_holder_and_the_reason(void) {
    kova_producer* holder = NULL;
    kova_producer* other = NULL;
    kova_producer_frame* frame = NULL;
    int accepted = 1;
    REQUIRE(kova_producer_open(socket_path, 0, &holder) == KOVA_OK);
    CHECK(kova_producer_open(socket_path, 0, &other) == KOVA_ERROR_SINK_BUSY);
    char holder_pid[32];
    snprintf(holder_pid, sizeof holder_pid, "(pid %d)", (int)getpid());
    CHECK(strstr(kova_last_error(), holder_pid) != NULL);

    REQUIRE(kova_producer_acquire(holder, 1000, &frame) == KOVA_OK);
    REQUIRE(kova_producer_submit(holder, frame, kova_host_time_now() + 10000000000ull, &accepted) ==
            KOVA_OK);
    CHECK(accepted == 0);
    CHECK(strstr(kova_last_error(), "ahead") != NULL);
    kova_producer_free(holder);
}

static void test_camera_going_away(void) {
    kova_viewer* viewer = NULL;
    REQUIRE(kova_viewer_open(socket_path, 0, &viewer) == KOVA_OK);
    stop_camera();
    kova_status status = KOVA_OK;
    /* Frames sent before it stopped may still be waiting. */
    for (int i = 0; i < 20 && status == KOVA_OK; ++i) {
        kova_viewer_frame* frame = NULL;
        status = kova_viewer_next_frame(viewer, 2000, &frame);
        kova_viewer_frame_release(frame);
    }
    CHECK(status == KOVA_ERROR_DISCONNECTED);
    CHECK(kova_viewer_reconnect(viewer) == KOVA_ERROR_NO_CAMERA);
    kova_viewer_free(viewer);
}

int main(void) {
    if (!start_camera()) {
        fprintf(stderr, "kova-camera did not start serving %s\n", socket_path);
        stop_camera();
        return 1;
    }
    test_failures_come_back_as_their_status_with_a_message();
    test_a_frame_painted_in_place_arrives_exactly_and_outlives_its_handles();
    test_refusals_name_the_holder_and_the_reason();
    test_camera_going_away();
    stop_camera();
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("all checks passed\n");
    return 0;
}
