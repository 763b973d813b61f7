// tag_reader: reports each card that enters the RC522 reader's field and
// pulses the configured signal pin for it.
#include "tag_reader.h"

int main(int argc, char** argv) {
    if (tag_reader_start(argc, argv) != 0) return 1;
    for (;;) tag_reader_pass();
}
