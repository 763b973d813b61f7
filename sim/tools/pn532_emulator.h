// `boatsim nfc`: a PN532 NFC reader on a pseudo-terminal, presenting the
// cards of the simulated board's field to libnfc's pn532_uart driver.
//
// The board's reader faults, looked up at least every 50 ms:
//  - pn532-line-closed: the reader is unplugged. The pseudo-terminal goes
//    away (its master is closed): the host's open line then fails every
//    read and write with EIO, as a tty does once a USB serial adapter is
//    pulled out, and its device name is gone, so opening it fails too. The
//    chip loses power: its field goes off and it starts from its power-on
//    state. When the fault is cleared a fresh pseudo-terminal appears. With
//    --link PATH the reader comes back under the same name, as a re-plugged
//    adapter does: PATH is a symbolic link, removed while unplugged and
//    pointed at each new pseudo-terminal. Without --link it comes back under
//    a new /dev/pts name, printed again and written to the --conn-file.
//  - pn532-mute: the reader takes every frame but never answers, not even
//    with an ACK; the command it was running is dropped. Once cleared it
//    answers the next frame.
#pragma once

namespace boatsim {

// argv[0] is "nfc". Runs until interrupted; returns the process exit status.
int nfc_main(int argc, char** argv);

}  // namespace boatsim
