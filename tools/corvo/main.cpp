// corvo: the operator's command-line tool.
#include "tool.h"

int main(int argc, char** argv)
{
    corvo::tool::CorvoTool tool;
    return tool.main(argc, argv);
}
