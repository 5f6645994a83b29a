// Entry of the client program on Windows (GUI subsystem).
#include <windows.h>

#include "gui.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return GUI_Main(0, nullptr);
}
