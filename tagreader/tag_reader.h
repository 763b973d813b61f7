// tag_reader's start-up and one pass of its poll loop, apart from main so
// that both can be driven on their own.
#pragma once

#include "terminal.h"  // the signal pin, gpio and use_gpio

#include <sys/types.h>

#include <cstdint>

extern uint32_t spi_speed;  // SPI clock in kHz for HW_init
extern uid_t uid;           // identity to run as
extern uint16_t CType;      // card type of the last card
extern uint8_t SN[10];      // serial number of the last card
extern uint8_t SN_len;
extern char sn_str[21];     // SN as lowercase hex text

// Writes the usage text for the program invoked as `prog` to stdout.
void usage(const char* prog);

// Options, configuration, hardware, identity and reader: 0 when the loop
// may start, 1 on a bad argument or a start-up failure.
int tag_reader_start(int argc, char** argv);

// One pass of the poll loop: reports and halts a card entering the field.
void tag_reader_pass();
