// `boatsim nfc`: the PN532 on a pseudo-terminal. The program side of the
// pty behaves like the PN532's HSU line; the chip model answers.
#include "pn532_emulator.h"

#include "board_state.h"
#include "pn532_chip.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace boatsim {

namespace {

void usage() {
    fputs("usage: boatsim nfc [--conn-file FILE] [-v]\n"
          "  Emulates a PN532 reader on a pseudo-terminal for libnfc's pn532_uart driver,\n"
          "  with the cards of the board in BOATSIM_STATE. Prints the connection string\n"
          "  (also written to FILE) and runs until SIGINT/SIGTERM.\n"
          "  -v  trace every frame on standard error\n",
          stderr);
}

bool g_trace = false;

void trace(const char* dir, const uint8_t* p, size_t n) {
    if (!g_trace) return;
    fprintf(stderr, "nfc %s", dir);
    for (size_t i = 0; i < n; i++) fprintf(stderr, " %02x", p[i]);
    fputc('\n', stderr);
}

// Writes the whole buffer unless the host stops reading for a while: a real
// UART would just drop the bytes on the floor then.
void write_all(int fd, const uint8_t* p, size_t n) {
    trace("<", p, n);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd pf {fd, POLLOUT, 0};
            if (poll(&pf, 1, 200) <= 0) return;
            continue;
        }
        return;
    }
}

bool write_file_atomic(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return false;
    bool ok = fputs(text.c_str(), f) >= 0;
    ok = (fclose(f) == 0) && ok;
    return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

struct BoardMap {
    BoardState* s = nullptr;
    ~BoardMap() {
        if (s) unmap_state(s);
    }
};

}  // namespace

int nfc_main(int argc, char** argv) {
    std::string conn_file;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--conn-file") == 0 && i + 1 < argc) {
            conn_file = argv[++i];
        } else if (strcmp(argv[i], "-v") == 0) {
            g_trace = true;
        } else {
            usage();
            return 2;
        }
    }

    std::string err;
    BoardMap board;
    const char* path = state_path_from_env();
    board.s = map_state(path, &err);
    if (!board.s) {
        fprintf(stderr, "boatsim nfc: %s: %s\n", path, err.c_str());
        return 1;
    }

    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    Fd sfd;
    sfd.fd = signalfd(-1, &sigs, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    Fd master, slave;
    master.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master.fd < 0 || grantpt(master.fd) != 0 || unlockpt(master.fd) != 0) {
        fprintf(stderr, "boatsim nfc: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    const char* pts = ptsname(master.fd);
    std::string pts_name = pts ? pts : "";
    // Holding the line's own end open keeps the pty alive between the
    // host's opens (no hang-up storm on the master) and lets us set raw mode.
    slave.fd = open(pts_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio {};
    if (slave.fd < 0 || tcgetattr(slave.fd, &tio) != 0) {
        fprintf(stderr, "boatsim nfc: %s: %s\n", pts_name.c_str(), strerror(errno));
        return 1;
    }
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(slave.fd, TCSANOW, &tio);
    fcntl(master.fd, F_SETFL, fcntl(master.fd, F_GETFL) | O_NONBLOCK);

    std::string conn = "pn532_uart:" + pts_name;
    printf("%s\n", conn.c_str());
    fflush(stdout);
    if (!conn_file.empty() && !write_file_atomic(conn_file, conn + "\n")) {
        fprintf(stderr, "boatsim nfc: cannot write %s: %s\n", conn_file.c_str(), strerror(errno));
        return 1;
    }

    Pn532Chip chip(board.s);
    Pn532Deframer deframer;
    Pn532Reply reply;
    size_t last_len = 0;  // the last response frame, resent on NACK
    uint8_t last[kMaxFrameData + 16];
    uint64_t wakeups = 0;
    // A host writes a frame in one go; at 115200 baud even the longest
    // frame is on the line within 25 ms.
    constexpr uint64_t kFrameGapNs = 100'000'000;
    uint64_t partial_deadline = 0;

    auto send_reply = [&](const Pn532Reply& r) {
        if (r.error_frame) {
            memcpy(last, kPn532ErrorFrame, sizeof(kPn532ErrorFrame));
            last_len = sizeof(kPn532ErrorFrame);
        } else {
            last_len = pn532_frame(kTfiChip, r.data.data(), r.len, last, sizeof(last));
        }
        write_all(master.fd, last, last_len);
    };
    // Bytes written but not yet read by the host belong to a conversation the
    // host has given up on.
    auto discard_unread = [&]() { tcflush(slave.fd, TCIFLUSH); };

    for (;;) {
        pollfd pf[2] = {{master.fd, POLLIN, 0}, {sfd.fd, POLLIN, 0}};
        timespec ts {};
        timespec* tsp = nullptr;
        uint64_t dl = chip.deadline_ns();
        if (partial_deadline && (!dl || partial_deadline < dl)) dl = partial_deadline;
        if (dl) {
            uint64_t now = monotonic_ns();
            uint64_t wait = dl > now ? dl - now : 0;
            ts.tv_sec = static_cast<time_t>(wait / 1'000'000'000ull);
            ts.tv_nsec = static_cast<long>(wait % 1'000'000'000ull);
            tsp = &ts;
        }
        int pr = ppoll(pf, 2, tsp, nullptr);
        if (pr < 0 && errno != EINTR) {
            fprintf(stderr, "boatsim nfc: poll: %s\n", strerror(errno));
            return 1;
        }
        if (pr > 0 && (pf[1].revents & POLLIN)) break;

        bool input = pr > 0 && (pf[0].revents & POLLIN);
        if (input || (partial_deadline && monotonic_ns() >= partial_deadline)) {
            if (input) {
                uint8_t buf[512];
                ssize_t n = read(master.fd, buf, sizeof(buf));
                if (n > 0) {
                    trace(">", buf, static_cast<size_t>(n));
                    deframer.feed(buf, static_cast<size_t>(n));
                }
            } else {
                deframer.resync();
            }
            for (;;) {
                Pn532Deframer::Event ev = deframer.next();
                if (deframer.wakeups() != wakeups) {
                    // A host waking the chip starts a new conversation.
                    wakeups = deframer.wakeups();
                    chip.abort();
                    discard_unread();
                }
                if (ev.kind == Pn532Deframer::Kind::none) break;
                if (ev.kind == Pn532Deframer::Kind::ack) {
                    chip.abort();
                    discard_unread();
                    continue;
                }
                if (ev.kind == Pn532Deframer::Kind::nack) {
                    if (last_len) write_all(master.fd, last, last_len);
                    continue;
                }
                // A host sends a command only after reading the last answer,
                // unless it gave up on it (its own time-out).
                discard_unread();
                write_all(master.fd, kPn532Ack, sizeof(kPn532Ack));
                if (ev.tfi != kTfiHost) {
                    reply.error_frame = true;
                    send_reply(reply);
                    continue;
                }
                if (chip.command(ev.data, ev.len, monotonic_ns(), &reply) == Pn532Chip::Result::reply)
                    send_reply(reply);
            }
            if (!deframer.partial())
                partial_deadline = 0;
            else if (input)
                partial_deadline = monotonic_ns() + kFrameGapNs;
        }
        if (chip.deadline_ns() && monotonic_ns() >= chip.deadline_ns()) {
            if (chip.tick(monotonic_ns(), &reply) == Pn532Chip::Result::reply) send_reply(reply);
        }
    }
    return 0;
}

}  // namespace boatsim
