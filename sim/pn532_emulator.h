// `boatsim nfc`: a PN532 NFC reader on a pseudo-terminal, presenting the
// cards of the simulated board's field to libnfc's pn532_uart driver.
#pragma once

namespace boatsim {

// argv[0] is "nfc". Runs until interrupted; returns the process exit status.
int nfc_main(int argc, char** argv);

}  // namespace boatsim
