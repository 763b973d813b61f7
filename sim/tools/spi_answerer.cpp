// spi-answerer: answers the transfers of the spi_answer kernel module
// (tests/vm/modules/spi_answer) with the simulated board's devices, so that
// a program on the kernel-device board reads a simulated MFRC522 and its
// cards, or the MCP3008, through the kernel's real spidev.
//
//   spi-answerer [--device PATH]
//
// The board is BOATSIM_STATE's, as for every simulated program: boatsim
// puts cards and sets converter inputs while this runs. Chip select 0
// carries the profile's device; it answers only a transfer made as it
// needs (mode 0 or 3, chip select active low, 8-bit words); anything else,
// like any other chip select, reads as a bus with nothing on it. Each
// transfer is one chip-select assertion, as spidev makes one of each of
// the programs' transfers. Runs until SIGTERM or SIGINT; status 1 when the
// device or the board cannot be opened.
#include "board_state.h"
#include "devices.h"
#include "spi_answer.h"

#include <fcntl.h>
#include <linux/spi/spi.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t g_stop = 0;

void on_stop(int) { g_stop = 1; }

// Without SA_RESTART: a stop signal ends the read that waits for a transfer.
void stop_on_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

bool selects_cs0(const spi_answer_transfer& t) {
    const uint32_t clock_mode = t.mode & (SPI_CPOL | SPI_CPHA);
    return t.chip_select == 0 && !(t.mode & SPI_CS_HIGH) && t.bits_per_word == 8 &&
           (clock_mode == SPI_MODE_0 || clock_mode == SPI_MODE_3);
}

// The bytes clocked back for one transfer, into `rx`.
void answer(boatsim::BoardState& s, const spi_answer_transfer& t, const uint8_t* tx, uint8_t* rx) {
    boatsim::Lock lock(&s);
    s.spi.transfers++;
    s.spi.bytes += t.len;
    if (selects_cs0(t))
        boatsim::spi_cs0_exchange(s, tx, rx, t.len);
    else
        memset(rx, 0, t.len);
}

}  // namespace

int main(int argc, char** argv) {
    const char* device = SPI_ANSWER_DEVICE;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
            device = argv[++i];
        } else {
            fprintf(stderr, "usage: %s [--device PATH]\n", argv[0]);
            return 2;
        }
    }

    std::string err;
    boatsim::BoardState* board = boatsim::map_state(boatsim::state_path_from_env(), &err);
    if (!board) {
        fprintf(stderr, "spi-answerer: %s\n", err.c_str());
        return 1;
    }
    const int fd = open(device, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "spi-answerer: %s: %s\n", device, strerror(errno));
        return 1;
    }
    stop_on_signals();
    fprintf(stderr, "spi-answerer: answering %s as the %s board\n", device, boatsim::profile_name(board->profile));

    static std::array<uint8_t, sizeof(spi_answer_transfer) + SPI_ANSWER_MAX_LEN> in;
    static std::array<uint8_t, sizeof(spi_answer_reply) + SPI_ANSWER_MAX_LEN> out;
    int status = 0;
    while (!g_stop) {
        const ssize_t n = read(fd, in.data(), in.size());
        if (n < 0 && errno == EINTR) continue;
        spi_answer_transfer t {};
        if (n >= static_cast<ssize_t>(sizeof t)) memcpy(&t, in.data(), sizeof t);
        if (n < static_cast<ssize_t>(sizeof t) || n != static_cast<ssize_t>(sizeof t + t.len)) {
            fprintf(stderr, "spi-answerer: read %s: %s\n", device, n < 0 ? strerror(errno) : "short transfer");
            status = 1;
            break;
        }
        const spi_answer_reply reply {t.seq, t.len};
        memcpy(out.data(), &reply, sizeof reply);
        answer(*board, t, in.data() + sizeof t, out.data() + sizeof reply);
        // ENOENT: the transfer timed out before the answer; the next one counts.
        if (write(fd, out.data(), sizeof reply + t.len) < 0 && errno != ENOENT && errno != EINTR) {
            fprintf(stderr, "spi-answerer: write %s: %s\n", device, strerror(errno));
            status = 1;
            break;
        }
    }
    close(fd);
    boatsim::unmap_state(board);
    return status;
}
