// corvo-archiver: records a site's history (see apps/archiver/README.md).
#include "archiver.h"

int main(int argc, char** argv)
{
    corvo::archiver::Archiver archiver;
    return archiver.run(argc, argv) == 0 ? 0 : 1;
}
