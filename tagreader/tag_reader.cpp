// tag_reader's start-up from /etc/RC522.conf (and the board's devices from
// the terminals' settings file) and one pass of its card
// polling loop, apart from main so that tests can drive them.
#include "tag_reader.h"

#include "board_devices.h"
#include "config.h"
#include "reader.h"
#include "settings.h"
#include "terminal.h"

#include <bcm2835.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

uint32_t spi_speed = 10000000;
uid_t uid = 0;
uint16_t CType = 0;
uint8_t SN[10];
uint8_t SN_len = 0;
char sn_str[21];

// A reader event: on stderr in debug mode, else to syslog like the
// start-up failures.
static void report(int priority, const char* text) {
    if (debug)
        fprintf(stderr, "%s\n", text);
    else
        syslog(priority, "%s", text);
}

void usage(const char* prog) {
    printf("Usage:\n%s [options]\n\nOptions:\n -d\t Debug mode\n\n", prog);
}

// The GPIO chip and SPI device the terminals' settings name for this board
// (their unit's credential copy, else the file), before any device is
// opened. The other keys are the terminals', whose files this program
// need not be able to read. 1 when the file is refused.
static int use_board_settings() {
    SettingsPath path {};
    if (terminal_settings_path(&path) != 0) {
        config_error("CREDENTIALS_DIRECTORY: longer than a path may be\n");
        return 1;
    }
    TerminalSettings settings = default_terminal_settings();
    SettingsNote error {}, warning {};
    if (read_terminal_settings(path.data(), &settings, &error, &warning, SettingsKeys::board) != 0) {
        config_error("%s\n", error.data());
        return 1;
    }
    board_use_devices(settings.gpio_chip.data(), settings.spi_device.data());
    return 0;
}

int tag_reader_start(int argc, char** argv) {
    // Value buffer of the lookups; config's own `str` is the line they read.
    char str[255];

    if (argc > 1) {
        if (strcmp(argv[1], "-d") != 0) {
            usage(argv[0]);
            return 1;
        }
        debug = 1;
        config_echo = 1;
        printf("Debug mode.\n");
        // Runs until killed: the line must not wait in the buffer.
        fflush(stdout);
    }

    if (use_board_settings() != 0) return 1;

    if (open_config_file(config_file) != 0) {
        if (debug)
            fputs("Can't open config file!", stderr);
        else
            syslog(LOG_DAEMON | LOG_ERR, "Can't open config file!");
        return 1;
    }

    unsigned long number = 0;
    if (find_config_param("GPIO=", str, 254, 1) == 1) {
        if (!config_decimal(str, &number)) {
            config_error("Invalid GPIO: %s\n", str);
            return 1;
        }
        gpio = static_cast<uint8_t>(number);
        if (gpio > 27) {
            gpio = 255;
            use_gpio = 0;
        } else {
            use_gpio = 1;
        }
    }

    if (find_config_param("SPI_SPEED=", str, 254, 1) == 1) {
        if (!config_decimal(str, &number)) {
            config_error("Invalid SPI_SPEED: %s\n", str);
            return 1;
        }
        if (number > 125000) number = 125000;
        if (number <= 3) number = 4;
        spi_speed = static_cast<uint32_t>(number);
    }

    if (HW_init(spi_speed, gpio) != 0) return 1;

    // Started as root it must not run on as root: read_conf_uid has dropped
    // root's groups and taken the group, the user follows here.
    const bool root = geteuid() == 0;
    // Without a "UID=" line an ordinary user keeps being who it is.
    uid = getuid();
    if (read_conf_uid(&uid) != 0) return 1;
    if (setuid(uid) != 0 && root) {
        config_error("Can't set UID %u: %s\n", static_cast<unsigned>(uid), strerror(errno));
        return 1;
    }

    InitRc522();
    if (!rc522_version_known(Rc522Version)) {
        char text[40];
        snprintf(text, sizeof text, "Reader not found (version 0x%02x)", Rc522Version);
        report(LOG_DAEMON | LOG_ERR, text);
    }
    return 0;
}

// Reports and halts the card just selected.
static void report_card() {
    const int n = SN_len <= sizeof SN ? SN_len : sizeof SN;
    for (int i = 0; i < n; i++) snprintf(sn_str + 2 * i, sizeof sn_str - 2 * i, "%02x", SN[i]);
    sn_str[2 * n] = '\0';

    if (debug) fprintf(stderr, "Type: %04x, Serial: %s\n", CType, sn_str);
    if (use_gpio) bcm2835_gpio_write(gpio, HIGH);
    PcdHalt();
    if (use_gpio) bcm2835_gpio_write(gpio, LOW);
}

void tag_reader_pass() {
    uint8_t status = find_tag(&CType);
    if ((status == READER_OK || status == READER_COLLISION) && select_tag_sn(SN, &SN_len) == READER_OK)
        report_card();
    else
        usleep(200000);  // reader errors and unselectable cards too: the pace of an empty field
    uint8_t events = watch_reader();
    if (events & WATCH_RESET) report(LOG_DAEMON | LOG_ERR, "Reader reset");
    if (events & WATCH_LOST) report(LOG_DAEMON | LOG_ERR, "Reader lost");
    if (events & WATCH_BACK) report(LOG_DAEMON | LOG_INFO, "Reader back");
}
