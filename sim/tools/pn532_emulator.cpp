// `boatsim nfc`: the PN532 on a pseudo-terminal. The program side of the
// pty behaves like the PN532's HSU line; the chip model answers. The
// reader faults and what libnfc sees of them are described in the header.
#include "pn532_emulator.h"

#include "air.h"
#include "board_state.h"
#include "faults.h"
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
    fputs("usage: boatsim nfc [--conn-file FILE] [--link PATH] [-v]\n"
          "  Emulates a PN532 reader on a pseudo-terminal for libnfc's pn532_uart driver,\n"
          "  with the cards of the board in BOATSIM_STATE. Prints the connection string\n"
          "  (also written to FILE) and runs until SIGINT/SIGTERM.\n"
          "  --link PATH  a symbolic link to the pseudo-terminal, the reader's stable\n"
          "               name: the connection string is pn532_uart:PATH\n"
          "  -v  trace every frame on standard error\n"
          "  Faults: pn532-line-closed unplugs the reader (the line fails with EIO and\n"
          "  its name is gone; once cleared a new pseudo-terminal appears, under PATH\n"
          "  again with --link, else under a new name printed again); pn532-mute takes\n"
          "  frames and never answers.\n",
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

// The serial line: a pseudo-terminal whose other end the host opens.
class Line {
public:
    ~Line() { close_line(); }
    bool is_open() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& pts() const { return pts_; }

    bool open_line(std::string* err) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            *err = std::string("cannot open a pseudo-terminal: ") + strerror(errno);
            close_line();
            return false;
        }
        const char* name = ptsname(master_);
        pts_ = name ? name : "";
        // Holding the line's own end open keeps the pty alive between the
        // host's opens (no hang-up storm on the master) and lets us set raw mode.
        slave_ = open(pts_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio {};
        if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
            *err = pts_ + ": " + strerror(errno);
            close_line();
            return false;
        }
        cfmakeraw(&tio);
        cfsetspeed(&tio, B115200);
        tcsetattr(slave_, TCSANOW, &tio);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        return true;
    }

    // Both ends go: the host's end hangs up and the name disappears.
    void close_line() {
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
        slave_ = master_ = -1;
    }

    // Bytes written but not yet read by the host belong to a conversation
    // the host has given up on.
    void discard_unread() {
        if (slave_ >= 0) tcflush(slave_, TCIFLUSH);
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string pts_;
};

// Points `link` at `target`, replacing what was there in one step.
bool point_link(const std::string& link, const std::string& target) {
    std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    return symlink(target.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), link.c_str()) == 0;
}

struct Faults {
    bool line_closed = false;
    bool mute = false;
};

Faults reader_faults(BoardState* s) {
    Lock lock(s);
    return {fault_active(*s, Fault::pn532_line_closed), fault_active(*s, Fault::pn532_mute)};
}

// Longest wait between two looks at the board's faults.
constexpr uint64_t kFaultCheckNs = 50'000'000;

}  // namespace

int nfc_main(int argc, char** argv) {
    std::string conn_file;
    std::string link;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--conn-file") == 0 && i + 1 < argc) {
            conn_file = argv[++i];
        } else if (strcmp(argv[i], "--link") == 0 && i + 1 < argc) {
            link = argv[++i];
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

    Faults applied = reader_faults(board.s);
    Line line;
    std::string conn;  // the connection string last published
    // The line appears: under its link, and announced when its name is new.
    auto plug_in = [&]() -> bool {
        if (!line.open_line(&err)) {
            fprintf(stderr, "boatsim nfc: %s\n", err.c_str());
            return false;
        }
        if (!link.empty() && !point_link(link, line.pts())) {
            fprintf(stderr, "boatsim nfc: cannot point %s at %s: %s\n", link.c_str(), line.pts().c_str(),
                    strerror(errno));
            return false;
        }
        std::string now = "pn532_uart:" + (link.empty() ? line.pts() : link);
        if (now == conn) return true;
        conn = now;
        printf("%s\n", conn.c_str());
        fflush(stdout);
        if (!conn_file.empty() && !write_file_atomic(conn_file, conn + "\n")) {
            fprintf(stderr, "boatsim nfc: cannot write %s: %s\n", conn_file.c_str(), strerror(errno));
            return false;
        }
        return true;
    };
    struct Unlink {
        const std::string& link;
        ~Unlink() {
            if (!link.empty()) unlink(link.c_str());
        }
    } unlink_at_exit {link};
    // Started unplugged, the reader still tells its name; it is the link's.
    if (applied.line_closed && !link.empty()) {
        conn = "pn532_uart:" + link;
        printf("%s\n", conn.c_str());
        fflush(stdout);
        if (!conn_file.empty()) write_file_atomic(conn_file, conn + "\n");
    } else if (!applied.line_closed && !plug_in()) {
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
        write_all(line.master(), last, last_len);
    };
    // Whatever the host and the chip were saying to each other is over.
    auto forget_conversation = [&]() {
        chip.abort();
        deframer = Pn532Deframer();
        wakeups = 0;
        partial_deadline = 0;
        last_len = 0;
    };

    for (;;) {
        Faults want = reader_faults(board.s);
        if (want.line_closed != applied.line_closed) {
            applied.line_closed = want.line_closed;
            forget_conversation();
            if (want.line_closed) {
                line.close_line();
                if (!link.empty()) unlink(link.c_str());
                // Unplugged, the reader has no power: no field, no state.
                chip.reset();
                Lock lock(board.s);
                air_field_off(*board.s);
            } else if (!plug_in()) {
                return 1;
            }
        }
        if (want.mute != applied.mute) {
            applied.mute = want.mute;
            forget_conversation();
        }

        pollfd pf[2] = {{sfd.fd, POLLIN, 0}, {line.master(), POLLIN, 0}};
        nfds_t nfds = line.is_open() ? 2 : 1;
        uint64_t now = monotonic_ns();
        uint64_t dl = now + kFaultCheckNs;
        if (chip.deadline_ns() && chip.deadline_ns() < dl) dl = chip.deadline_ns();
        if (partial_deadline && partial_deadline < dl) dl = partial_deadline;
        uint64_t wait = dl > now ? dl - now : 0;
        timespec ts {static_cast<time_t>(wait / 1'000'000'000ull), static_cast<long>(wait % 1'000'000'000ull)};
        int pr = ppoll(pf, nfds, &ts, nullptr);
        if (pr < 0 && errno != EINTR) {
            fprintf(stderr, "boatsim nfc: poll: %s\n", strerror(errno));
            return 1;
        }
        if (pr > 0 && (pf[0].revents & POLLIN)) break;
        if (!line.is_open()) continue;

        bool input = pr > 0 && (pf[1].revents & POLLIN);
        if (input && applied.mute) {
            // Taken off the line and dropped.
            uint8_t buf[512];
            ssize_t n = read(line.master(), buf, sizeof(buf));
            if (n > 0) trace("> (mute)", buf, static_cast<size_t>(n));
            continue;
        }
        if (input || (partial_deadline && monotonic_ns() >= partial_deadline)) {
            if (input) {
                uint8_t buf[512];
                ssize_t n = read(line.master(), buf, sizeof(buf));
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
                    line.discard_unread();
                }
                if (ev.kind == Pn532Deframer::Kind::none) break;
                if (ev.kind == Pn532Deframer::Kind::ack) {
                    chip.abort();
                    line.discard_unread();
                    continue;
                }
                if (ev.kind == Pn532Deframer::Kind::nack) {
                    if (last_len) write_all(line.master(), last, last_len);
                    continue;
                }
                // A host sends a command only after reading the last answer,
                // unless it gave up on it (its own time-out).
                line.discard_unread();
                write_all(line.master(), kPn532Ack, sizeof(kPn532Ack));
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
