/* Preloaded into a program under test: moves its wall clock (time,
 * gettimeofday, clock_gettime on the realtime clocks) by the seconds
 * written in the file that BOATTEST_WALL_SHIFT names, read at every call,
 * so that a test can step the clock of a running program without touching
 * the machine's. The monotonic clocks are left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static long long shift_seconds(void) {
    const char* path = getenv("BOATTEST_WALL_SHIFT");
    if (!path) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    return strtoll(text, NULL, 10);
}

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);

int clock_gettime(clockid_t clock, struct timespec* ts) {
    static clock_gettime_fn real;
    if (!real) real = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
    int r = real(clock, ts);
    if (r == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI))
        ts->tv_sec += (time_t)shift_seconds();
    return r;
}

time_t time(time_t* t) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (t) *t = ts.tv_sec;
    return ts.tv_sec;
}

int gettimeofday(struct timeval* restrict tv, void* restrict tz) {
    (void)tz;
    struct timespec ts;
    int r = clock_gettime(CLOCK_REALTIME, &ts);
    if (r == 0) {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
    }
    return r;
}
