// Entry of the client program on Linux: the console front end.
#include "gui.h"

int main(int argc, char **argv)
{
    return GUI_Main(argc, argv);
}
