// Mapping, creation and locking of the shared board state file.
#include "board_state.h"
#include "devices.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace boatsim {

namespace {

BoardState* map_fd(int fd, std::string* err) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < sizeof(BoardState)) {
        if (err) *err = "not a board state file (too short)";
        return nullptr;
    }
    void* p = mmap(nullptr, sizeof(BoardState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        if (err) *err = std::string("cannot map: ") + strerror(errno);
        return nullptr;
    }
    return static_cast<BoardState*>(p);
}

void make_parent_dir(const char* path) {
    std::string dir(path);
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    dir.resize(slash);
    mkdir(dir.c_str(), 0777);  // one level is enough for the default path
}

}  // namespace

const char* state_path_from_env() {
    const char* p = getenv("BOATSIM_STATE");
    return (p && *p) ? p : kDefaultStatePath;
}

BoardState* map_state(const char* path, std::string* err) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (err) *err = std::string(path) + ": " + strerror(errno);
        return nullptr;
    }
    BoardState* s = map_fd(fd, err);
    close(fd);  // the mapping keeps the file
    if (!s) return nullptr;
    if (s->magic != kStateMagic || s->version != kStateVersion || s->size != sizeof(BoardState)) {
        if (err) *err = std::string(path) + ": not a board state file of this version";
        unmap_state(s);
        return nullptr;
    }
    return s;
}

BoardState* create_state(const char* path, Profile profile, std::string* err) {
    make_parent_dir(path);
    // Build the new board in a private file and rename it into place, so a
    // reader never maps a half-written state.
    std::string tmp = std::string(path) + ".new";
    int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (err) *err = tmp + ": " + strerror(errno);
        return nullptr;
    }
    fchmod(fd, 0666);  // programs drop root rights but keep their mapping; tools may run as anyone
    if (ftruncate(fd, sizeof(BoardState)) != 0) {
        if (err) *err = tmp + ": " + strerror(errno);
        close(fd);
        unlink(tmp.c_str());
        return nullptr;
    }
    BoardState* s = map_fd(fd, err);
    close(fd);
    if (!s) {
        unlink(tmp.c_str());
        return nullptr;
    }
    memset(static_cast<void*>(s), 0, sizeof(BoardState));
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&s->lock, &attr);
    pthread_mutexattr_destroy(&attr);

    s->profile = profile;
    s->signal_pin = (profile == Profile::checkin || profile == Profile::tracker) ? 18 : kNoPin;
    for (auto& c : s->cards) c.in_field = 0;
    board_power_on(*s);
    s->size = sizeof(BoardState);
    s->version = kStateVersion;
    s->magic = kStateMagic;
    msync(s, sizeof(BoardState), MS_SYNC);
    if (rename(tmp.c_str(), path) != 0) {
        if (err) *err = std::string(path) + ": " + strerror(errno);
        unmap_state(s);
        unlink(tmp.c_str());
        return nullptr;
    }
    return s;
}

void unmap_state(BoardState* s) {
    if (s) munmap(s, sizeof(BoardState));
}

const char* profile_name(Profile p) {
    switch (p) {
    case Profile::checkin: return "checkin";
    case Profile::tracker: return "tracker";
    case Profile::tagreader: return "tagreader";
    default: return "none";
    }
}

Profile profile_from_name(const char* name) {
    if (!name) return Profile::none;
    if (strcmp(name, "checkin") == 0) return Profile::checkin;
    if (strcmp(name, "tracker") == 0) return Profile::tracker;
    if (strcmp(name, "tagreader") == 0) return Profile::tagreader;
    return Profile::none;
}

uint64_t monotonic_ns() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

Lock::Lock(BoardState* s) : s_(s) {
    int rc = pthread_mutex_lock(&s_->lock);
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&s_->lock);  // a killed program held it
}

Lock::~Lock() { pthread_mutex_unlock(&s_->lock); }

}  // namespace boatsim
