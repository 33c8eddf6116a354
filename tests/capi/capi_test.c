/* The C interface of libkova-client, compiled as C, against a real kova-camera on a private
 * socket: what C callers rely on beyond the library's own tests. Every failure comes back as its
 * status with a per-thread message; a frame painted in place arrives exactly; frames outlive
 * their handles and may be released on other threads. */
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

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

/* A call that must succeed; on failure, says why and gives up the test it is in. */
#define REQUIRE_OK(call)                                                       \
    do {                                                                       \
        kova_status status_ = (call);                                          \
        if (status_ != KOVA_OK) {                                              \
            fprintf(stderr, "%s:%d: %s: %s (%s)\n", __FILE__, __LINE__, #call, \
                    kova_status_name(status_), kova_last_error());             \
            ++failures;                                                        \
            return;                                                            \
        }                                                                      \
    } while (0)

static char folder[256];
static char socket_path[300];
static char log_path[300];
static pid_t camera_pid = -1;

static void sleep_ms(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

static int start_camera(void) {
    const char* tmp = getenv("TMPDIR");
    snprintf(folder, sizeof folder, "%s/kova-capi-XXXXXX", tmp != NULL ? tmp : "/tmp");
    if (mkdtemp(folder) == NULL) return 0;
    snprintf(socket_path, sizeof socket_path, "%s/camera.sock", folder);
    snprintf(log_path, sizeof log_path, "%s/camera.log", folder);
    camera_pid = fork();
    if (camera_pid == 0) {
        setenv("KOVA_SOCKET", socket_path, 1);
        if (freopen(log_path, "w", stderr) == NULL) _exit(126);
        execl(KOVA_CAMERA_EXECUTABLE, KOVA_CAMERA_EXECUTABLE, (char*)NULL);
        _exit(127);
    }
    /* The camera serves once a viewer can open. */
    for (int attempt = 0; attempt < 200; ++attempt) {
        kova_viewer* viewer = NULL;
        if (kova_viewer_open(socket_path, 0, &viewer) == KOVA_OK) {
            kova_viewer_free(viewer);
            return 1;
        }
        sleep_ms(50);
    }
    return 0;
}

static void print_camera_log(void) {
    FILE* log = fopen(log_path, "r");
    if (log == NULL) return;
    char line[512];
    while (fgets(line, sizeof line, log) != NULL) fputs(line, stderr);
    fclose(log);
}

/* Stops the camera; it must exit cleanly (a sanitizer report in it fails the test). */
static void stop_camera(void) {
    if (camera_pid <= 0) return;
    kill(camera_pid, SIGTERM);
    int status = 0;
    while (waitpid(camera_pid, &status, 0) < 0 && errno == EINTR) {
    }
    camera_pid = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "kova-camera did not exit cleanly (status 0x%x); its log:\n", status);
        print_camera_log();
        ++failures;
    }
    unlink(log_path);
    rmdir(folder);
}

/* A picture unlike the placeholder and unlike itself at any other seed. */
static uint8_t pattern_byte(size_t row, size_t byte, unsigned seed) {
    return (uint8_t)(row * 7u + byte * 13u + seed * 101u);
}

static void paint(uint8_t* pixels, size_t stride, unsigned seed) {
    for (size_t row = 0; row < KOVA_FRAME_HEIGHT; ++row) {
        for (size_t byte = 0; byte < KOVA_FRAME_STRIDE; ++byte) {
            pixels[row * stride + byte] = pattern_byte(row, byte, seed);
        }
    }
}

/* The first row of `frame` unlike the pattern `seed`, or -1. */
static long first_row_unlike(const kova_viewer_frame* frame, unsigned seed) {
    const uint8_t* pixels = kova_viewer_frame_pixels(frame);
    const size_t stride = kova_viewer_frame_stride(frame);
    for (size_t row = 0; row < KOVA_FRAME_HEIGHT; ++row) {
        for (size_t byte = 0; byte < KOVA_FRAME_STRIDE; ++byte) {
            if (pixels[row * stride + byte] != pattern_byte(row, byte, seed)) return (long)row;
        }
    }
    return -1;
}

/* Reads the frames waiting: the camera skips a viewer that lags (a frame it cannot take is
 * missed), so a test catches up before it pushes. */
static void drain(kova_viewer* viewer) {
    kova_viewer_frame* frame = NULL;
    while (kova_viewer_next_frame(viewer, 0, &frame) == KOVA_OK && frame != NULL) {
        kova_viewer_frame_release(frame);
    }
}

/* The next frame relayed from a producer, skipping placeholder frames; NULL if none came. */
static kova_viewer_frame* next_sink_frame(kova_viewer* viewer) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        kova_viewer_frame* frame = NULL;
        if (kova_viewer_next_frame(viewer, 5000, &frame) != KOVA_OK || frame == NULL) return NULL;
        if (kova_viewer_frame_origin(frame) == KOVA_ORIGIN_SINK) return frame;
        kova_viewer_frame_release(frame);
    }
    return NULL;
}

static void test_errors_come_back_as_their_status_with_a_message(void) {
    char nowhere[320];
    snprintf(nowhere, sizeof nowhere, "%s/nobody.sock", folder);
    kova_producer* producer = NULL;
    kova_viewer* viewer = NULL;
    kova_viewer_frame* received = NULL;
    CHECK(kova_producer_open(nowhere, 0, &producer) == KOVA_ERROR_NO_CAMERA);
    CHECK(strlen(kova_last_error()) > 0);
    CHECK(kova_viewer_open(socket_path, 0x4, &viewer) == KOVA_ERROR_INVALID_ARGUMENT);
    CHECK(strstr(kova_last_error(), "flags") != NULL);
    CHECK(producer == NULL && viewer == NULL);
    struct {
        kova_status got;
        const char* call;
    } null_cases[] = {
        {kova_producer_open(socket_path, 0, NULL), "producer_open(NULL out)"},
        {kova_producer_push(NULL, NULL, KOVA_TIME_NOW), "push(NULL)"},
        {kova_viewer_next_frame(NULL, 0, &received), "next_frame(NULL)"},
    };
    for (size_t i = 0; i < sizeof null_cases / sizeof null_cases[0]; ++i) {
        if (null_cases[i].got != KOVA_ERROR_INVALID_ARGUMENT) {
            fprintf(stderr, "%s gave %s\n", null_cases[i].call,
                    kova_status_name(null_cases[i].got));
            ++failures;
        }
    }
    CHECK(strcmp(kova_status_name(KOVA_ERROR_TIMEOUT), "KOVA_ERROR_TIMEOUT") == 0);
    kova_producer_free(NULL);
    kova_viewer_frame_release(NULL);

    /* A timeout of 0 asks without waiting: it is no error. */
    REQUIRE_OK(kova_viewer_open(socket_path, 0, &viewer));
    CHECK(kova_viewer_next_frame(viewer, 0, &received) == KOVA_OK);
    kova_viewer_frame_release(received);
    CHECK(kova_viewer_next_frame(viewer, -1, &received) == KOVA_ERROR_INVALID_ARGUMENT);
    kova_viewer_free(viewer);
}

static void* release_viewer_frame(void* frame) {
    kova_viewer_frame_release(frame);
    return NULL;
}

static void* fail_a_call(void* message_out) {
    kova_producer_set_frame_rate(NULL, 1);
    snprintf(message_out, 128, "%s", kova_last_error());
    return NULL;
}

/* Painted in place, pushed with a chosen time, read back exactly; then both handles go before
 * their frames, and the viewer's frame is released on another thread. */
static void test_a_frame_painted_in_place_arrives_exactly_and_outlives_its_handles(void) {
    kova_viewer* viewer = NULL;
    kova_producer* producer = NULL;
    REQUIRE_OK(kova_viewer_open(socket_path, 0, &viewer));
    REQUIRE_OK(kova_producer_open(socket_path, 0, &producer));
    kova_producer_frame* painted = NULL;
    REQUIRE_OK(kova_producer_acquire(producer, 1000, &painted));
    paint(kova_producer_frame_pixels(painted), kova_producer_frame_stride(painted), 1);
    drain(viewer);
    const uint64_t stamp = kova_host_time_now();
    REQUIRE_OK(kova_producer_push(producer, painted, stamp));
    kova_viewer_frame* frame = next_sink_frame(viewer);
    CHECK(frame != NULL);
    if (frame == NULL) return;
    CHECK(kova_viewer_frame_host_time_ns(frame) == stamp);
    CHECK(first_row_unlike(frame, 1) == -1);
    CHECK(kova_viewer_frame_intact(frame) == 1);

    kova_producer_frame* lent = NULL;
    REQUIRE_OK(kova_producer_acquire(producer, 1000, &lent));
    kova_producer_free(producer);
    kova_viewer_free(viewer);
    paint(kova_producer_frame_pixels(lent), KOVA_FRAME_STRIDE, 3);
    kova_producer_frame_release(lent);
    CHECK(first_row_unlike(frame, 1) == -1);
    pthread_t thread;
    CHECK(pthread_create(&thread, NULL, release_viewer_frame, frame) == 0);
    pthread_join(thread, NULL);

    /* Each thread has its own last message. */
    CHECK(kova_viewer_open(socket_path, 0x1, &viewer) == KOVA_ERROR_INVALID_ARGUMENT);
    char here[128], there[128];
    snprintf(here, sizeof here, "%s", kova_last_error());
    CHECK(pthread_create(&thread, NULL, fail_a_call, there) == 0);
    pthread_join(thread, NULL);
    CHECK(strcmp(kova_last_error(), here) == 0);
    CHECK(strcmp(there, here) != 0);
}

/* The camera's refusals keep their own status and say who or why. */
static void test_refusals_name_the_holder_and_the_reason(void) {
    kova_producer* holder = NULL;
    kova_producer* other = NULL;
    REQUIRE_OK(kova_producer_open(socket_path, 0, &holder));
    CHECK(kova_producer_open(socket_path, 0, &other) == KOVA_ERROR_SINK_BUSY);
    char holder_pid[32];
    snprintf(holder_pid, sizeof holder_pid, "(pid %d)", (int)getpid());
    CHECK(strstr(kova_last_error(), holder_pid) != NULL);

    REQUIRE_OK(kova_producer_open(socket_path, KOVA_PRODUCER_TAKE_OVER | KOVA_PRODUCER_KEEP_STILL,
                                  &other));
    /* The holder learns of it on a later call, once the camera's word has come. */
    kova_status status = KOVA_OK;
    for (int i = 0; i < 100 && status == KOVA_OK; ++i) {
        kova_producer_frame* frame = NULL;
        int accepted = 0;
        status = kova_producer_acquire(holder, 1000, &frame);
        if (status == KOVA_OK)
            status = kova_producer_submit(holder, frame, KOVA_TIME_NOW, &accepted);
    }
    CHECK(status == KOVA_ERROR_TAKEN_OVER);
    CHECK(strstr(kova_last_error(), holder_pid) != NULL);

    kova_producer_frame* frame = NULL;
    int accepted = 1;
    REQUIRE_OK(kova_producer_acquire(other, 1000, &frame));
    REQUIRE_OK(
        kova_producer_submit(other, frame, kova_host_time_now() + 10000000000ull, &accepted));
    CHECK(accepted == 0);
    CHECK(strstr(kova_last_error(), "ahead") != NULL);
    kova_producer_free(other);
    kova_producer_free(holder);
}

static void test_camera_going_away(void) {
    kova_viewer* viewer = NULL;
    REQUIRE_OK(kova_viewer_open(socket_path, 0, &viewer));
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
        print_camera_log();
        stop_camera();
        return 1;
    }
    test_errors_come_back_as_their_status_with_a_message();
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
