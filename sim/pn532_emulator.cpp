// PLACEHOLDER until the PN532 emulator lands: replaced wholesale.
#include "pn532_emulator.h"
#include <cstdio>
namespace boatsim {
int nfc_main(int, char**) { fputs("boatsim nfc: not built yet\n", stderr); return 2; }
}
