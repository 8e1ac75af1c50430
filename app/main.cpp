#include "desktop/ProgramEntry.h"

int main(int argc, char **argv)
{
    return ProgramEntry(argc, argv);
}
