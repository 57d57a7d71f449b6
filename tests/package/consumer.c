/* A program built against the installed tree: it connects to the unit named on its command line
 * and prints the board ID, so the test sees that header, library and soname all fit together. */
#include <stdio.h>
#include <zel_api.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer IP\n");
        return 2;
    }
    if (APIConnect(0, argv[1]) != 1) {
        fprintf(stderr, "cannot connect to %s\n", argv[1]);
        return 1;
    }
    printf("board id %u\n", (unsigned)APIReadBoardID(0));
    APIDisconnect(0);
    return 0;
}
