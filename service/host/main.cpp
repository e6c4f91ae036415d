#include <cstdlib>

#include "host.h"

int main(int argc, char** argv)
{
    exit(RunProcessEntry(argc, argv));
}
