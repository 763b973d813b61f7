// SPDX-License-Identifier: GPL-2.0
/*
 * spi_answer: an SPI controller whose transfers a program answers.
 *
 * The kernel we test on has no SPI controller a test can talk to, so this
 * module registers one (bus `bus_num`, `num_cs` chip selects) with one
 * device per chip select, named from spidev's id table so that spidev binds
 * them: the system gets real /dev/spidevB.C nodes and every ioctl goes
 * through the kernel's own spidev and SPI core. Each transfer of a message
 * is handed, in order, to the one process that holds /dev/spi_answer open;
 * it reads the transfer and writes the bytes clocked back (spi_answer.h).
 *
 * Covered: full-duplex transfers of 8-bit words, the device's mode and the
 * transfer's clock as the core settles them, chip select per device.
 * Left out: timing on the wire, DMA, dual/quad lines. The mode bits are
 * those of the BCM2835's SPI0 controller (no LSB-first in hardware), so a
 * program sees the same refusals here as on a Pi.
 *
 * Without a process holding the device a message fails at once (-ENXIO);
 * a transfer not answered within `timeout_ms` fails with -ETIMEDOUT.
 */
#include <linux/completion.h>
#include <linux/fs.h>
#include <linux/jiffies.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/poll.h>
#include <linux/spi/spi.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#include "spi_answer.h"

static int bus_num;
module_param(bus_num, int, 0444);
MODULE_PARM_DESC(bus_num, "SPI bus number (default 0: /dev/spidev0.*)");

static unsigned int num_cs = 2;
module_param(num_cs, uint, 0444);
MODULE_PARM_DESC(num_cs, "chip selects, each with a spidev device (default 2)");

static char *modalias = "dh2228fv";
module_param(modalias, charp, 0444);
MODULE_PARM_DESC(modalias, "device name, from spidev's id table so that spidev binds it");

static unsigned int timeout_ms = 2000;
module_param(timeout_ms, uint, 0644);
MODULE_PARM_DESC(timeout_ms, "time a transfer waits for its answer");

/* The BCM2835's SPI0: 250 MHz core clock, divider at least 2. */
#define SPI_ANSWER_MAX_HZ 125000000

struct spi_answer {
	struct platform_device *pdev;
	struct spi_controller *ctlr;
	struct mutex lock;		/* guards everything below */
	wait_queue_head_t wait;		/* a transfer to read */
	struct completion answered;	/* the pending transfer's reply came */
	bool open;
	struct spi_device *spi;		/* device of the pending transfer */
	struct spi_transfer *xfer;	/* pending transfer, NULL when none */
	bool cs_held;
	bool handed;			/* the pending transfer has been read */
	u32 seq;
	int result;			/* of the pending transfer once answered */
};

static struct spi_answer answer;

/* Hands one transfer to the answering process and waits for its reply. */
static int spi_answer_one(struct spi_device *spi, struct spi_transfer *xfer,
			  bool cs_held)
{
	unsigned long left;
	int ret;

	if (xfer->len > SPI_ANSWER_MAX_LEN)
		return -EMSGSIZE;

	mutex_lock(&answer.lock);
	if (!answer.open) {
		mutex_unlock(&answer.lock);
		return -ENXIO;
	}
	reinit_completion(&answer.answered);
	answer.spi = spi;
	answer.xfer = xfer;
	answer.cs_held = cs_held;
	answer.handed = false;
	answer.seq++;
	answer.result = -ETIMEDOUT;
	mutex_unlock(&answer.lock);
	wake_up_interruptible(&answer.wait);

	left = wait_for_completion_timeout(&answer.answered,
					   msecs_to_jiffies(timeout_ms));

	mutex_lock(&answer.lock);
	ret = left ? answer.result : -ETIMEDOUT;
	answer.xfer = NULL;
	answer.spi = NULL;
	mutex_unlock(&answer.lock);
	return ret;
}

static int spi_answer_transfer_one_message(struct spi_controller *ctlr,
					   struct spi_message *msg)
{
	struct spi_transfer *xfer;
	int ret = 0;

	list_for_each_entry(xfer, &msg->transfers, transfer_list) {
		/* The core's rule: cs_change on the last transfer keeps the
		 * device selected, on any other one deselects it between. */
		bool last = list_is_last(&xfer->transfer_list, &msg->transfers);
		bool cs_held = last ? xfer->cs_change : !xfer->cs_change;

		ret = spi_answer_one(msg->spi, xfer, cs_held);
		if (ret)
			break;
		msg->actual_length += xfer->len;
	}
	msg->status = ret;
	spi_finalize_current_message(ctlr);
	return ret;
}

static int spi_answer_open(struct inode *inode, struct file *file)
{
	int ret = 0;

	mutex_lock(&answer.lock);
	if (answer.open)
		ret = -EBUSY;
	else
		answer.open = true;
	mutex_unlock(&answer.lock);
	return ret;
}

static int spi_answer_release(struct inode *inode, struct file *file)
{
	mutex_lock(&answer.lock);
	answer.open = false;
	/* A transfer that was waiting for this process fails now. */
	if (answer.xfer) {
		answer.result = -ENXIO;
		complete(&answer.answered);
	}
	mutex_unlock(&answer.lock);
	return 0;
}

static bool spi_answer_readable(void)
{
	bool ready;

	mutex_lock(&answer.lock);
	ready = answer.xfer && !answer.handed;
	mutex_unlock(&answer.lock);
	return ready;
}

static ssize_t spi_answer_read(struct file *file, char __user *buf,
			       size_t count, loff_t *ppos)
{
	struct spi_answer_transfer head = {};
	struct spi_transfer *xfer;
	ssize_t ret;

	for (;;) {
		mutex_lock(&answer.lock);
		if (answer.xfer && !answer.handed)
			break;
		mutex_unlock(&answer.lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		if (wait_event_interruptible(answer.wait, spi_answer_readable()))
			return -ERESTARTSYS;
	}

	xfer = answer.xfer;
	if (count < sizeof(head) + xfer->len) {
		ret = -EINVAL;
		goto out;
	}
	head.seq = answer.seq;
	head.len = xfer->len;
	head.speed_hz = xfer->speed_hz;
	head.mode = answer.spi->mode;
	head.chip_select = spi_get_chipselect(answer.spi, 0);
	head.bits_per_word = xfer->bits_per_word;
	head.cs_held = answer.cs_held;
	if (copy_to_user(buf, &head, sizeof(head))) {
		ret = -EFAULT;
		goto out;
	}
	if (xfer->tx_buf)
		ret = copy_to_user(buf + sizeof(head), xfer->tx_buf, xfer->len);
	else
		ret = clear_user(buf + sizeof(head), xfer->len);
	if (ret) {
		ret = -EFAULT;
		goto out;
	}
	answer.handed = true;
	ret = sizeof(head) + xfer->len;
out:
	mutex_unlock(&answer.lock);
	return ret;
}

static ssize_t spi_answer_write(struct file *file, const char __user *buf,
				size_t count, loff_t *ppos)
{
	struct spi_answer_reply head;
	struct spi_transfer *xfer;
	ssize_t ret;

	if (count < sizeof(head))
		return -EINVAL;
	if (copy_from_user(&head, buf, sizeof(head)))
		return -EFAULT;

	mutex_lock(&answer.lock);
	xfer = answer.xfer;
	/* Late: the transfer timed out and is gone, or was never read. */
	if (!xfer || !answer.handed || head.seq != answer.seq) {
		ret = -ENOENT;
		goto out;
	}
	if (head.len != xfer->len || count != sizeof(head) + head.len) {
		ret = -EINVAL;
		goto out;
	}
	if (xfer->rx_buf &&
	    copy_from_user(xfer->rx_buf, buf + sizeof(head), head.len)) {
		ret = -EFAULT;
		goto out;
	}
	answer.result = 0;
	complete(&answer.answered);
	ret = count;
out:
	mutex_unlock(&answer.lock);
	return ret;
}

static __poll_t spi_answer_poll(struct file *file, poll_table *wait)
{
	poll_wait(file, &answer.wait, wait);
	return spi_answer_readable() ? EPOLLIN | EPOLLRDNORM : 0;
}

static const struct file_operations spi_answer_fops = {
	.owner = THIS_MODULE,
	.open = spi_answer_open,
	.release = spi_answer_release,
	.read = spi_answer_read,
	.write = spi_answer_write,
	.poll = spi_answer_poll,
	.llseek = noop_llseek,
};

static struct miscdevice spi_answer_misc = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "spi_answer",
	.fops = &spi_answer_fops,
};

static int spi_answer_add_devices(void)
{
	unsigned int cs;

	for (cs = 0; cs < num_cs; cs++) {
		struct spi_board_info info = {
			.max_speed_hz = SPI_ANSWER_MAX_HZ,
			.bus_num = bus_num,
			.chip_select = cs,
			.mode = SPI_MODE_0,
		};

		strscpy(info.modalias, modalias, sizeof(info.modalias));
		if (!spi_new_device(answer.ctlr, &info))
			return -ENODEV;
	}
	return 0;
}

static int __init spi_answer_init(void)
{
	struct spi_controller *ctlr;
	int ret;

	if (num_cs == 0 || num_cs > 4)
		return -EINVAL;
	mutex_init(&answer.lock);
	init_waitqueue_head(&answer.wait);
	init_completion(&answer.answered);

	ret = misc_register(&spi_answer_misc);
	if (ret)
		return ret;

	answer.pdev = platform_device_register_simple("spi_answer", -1, NULL, 0);
	if (IS_ERR(answer.pdev)) {
		ret = PTR_ERR(answer.pdev);
		goto err_misc;
	}

	ctlr = spi_alloc_host(&answer.pdev->dev, 0);
	if (!ctlr) {
		ret = -ENOMEM;
		goto err_pdev;
	}
	ctlr->bus_num = bus_num;
	ctlr->num_chipselect = num_cs;
	ctlr->mode_bits = SPI_CPOL | SPI_CPHA | SPI_CS_HIGH;
	ctlr->bits_per_word_mask = SPI_BPW_MASK(8);
	ctlr->max_speed_hz = SPI_ANSWER_MAX_HZ;
	ctlr->transfer_one_message = spi_answer_transfer_one_message;
	ret = spi_register_controller(ctlr);
	if (ret) {
		spi_controller_put(ctlr);
		goto err_pdev;
	}
	answer.ctlr = ctlr;

	ret = spi_answer_add_devices();
	if (ret)
		goto err_ctlr;
	return 0;

err_ctlr:
	spi_unregister_controller(answer.ctlr);
err_pdev:
	platform_device_unregister(answer.pdev);
err_misc:
	misc_deregister(&spi_answer_misc);
	return ret;
}

static void __exit spi_answer_exit(void)
{
	/* Removes the spidev devices too; no message is in flight after. */
	spi_unregister_controller(answer.ctlr);
	platform_device_unregister(answer.pdev);
	misc_deregister(&spi_answer_misc);
}

module_init(spi_answer_init);
module_exit(spi_answer_exit);

MODULE_DESCRIPTION("SPI controller whose transfers a program answers");
MODULE_LICENSE("GPL");
