// corvo-alarmd: the alarm daemon of a site (see apps/alarmd/README.md).
#include "alarmd.h"

int main(int argc, char** argv)
{
    corvo::alarmd::Alarmd alarmd;
    return alarmd.run(argc, argv) == 0 ? 0 : 1;
}
