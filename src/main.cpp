// Process entry point of the Tamsel setup utility.
#include "Tamsel.h"

int main(int argc, char *argv[]) {
    return TamselMain(argc, argv);
}
