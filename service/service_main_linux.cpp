#include "service_base.h"

int main(int argc, char **argv)
{
    return SVC_Main(argc, argv);
}
