// PLACEHOLDER until the control tool lands: replaced wholesale.
#include "pn532_emulator.h"
#include <cstring>
int main(int argc, char** argv) { if (argc > 1 && strcmp(argv[1], "nfc") == 0) return boatsim::nfc_main(argc - 1, argv + 1); return 2; }
