/* SPDX-License-Identifier: GPL-2.0 WITH Linux-syscall-note */
/*
 * What passes through /dev/spi_answer between the spi_answer controller
 * and the one program that answers its transfers. Shared by the module and
 * that program (C and C++).
 *
 * read() gives one transfer: a struct spi_answer_transfer followed by the
 * `len` bytes the controller sends (zeros when the transfer sends none).
 * The buffer must hold both. write() answers it: a struct spi_answer_reply
 * with the same `seq` and `len`, followed by the `len` bytes clocked back.
 */
#ifndef SPI_ANSWER_H
#define SPI_ANSWER_H

#include <linux/types.h>

#define SPI_ANSWER_DEVICE "/dev/spi_answer"
/* spidev's default buffer; longer transfers are refused. */
#define SPI_ANSWER_MAX_LEN 4096

struct spi_answer_transfer {
	__u32 seq;		/* counts the controller's transfers from 1 */
	__u32 len;		/* bytes that follow */
	__u32 speed_hz;		/* clock of this transfer */
	__u32 mode;		/* the device's SPI_CPHA, SPI_CPOL, SPI_CS_HIGH... */
	__u8 chip_select;
	__u8 bits_per_word;
	__u8 cs_held;		/* chip select stays asserted after this transfer */
	__u8 pad;
};

struct spi_answer_reply {
	__u32 seq;		/* of the transfer answered */
	__u32 len;		/* bytes that follow; the transfer's len */
};

#endif
