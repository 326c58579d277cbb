// The least a GUI program can do: start and end. Its start is part of the
// floor any installer has to pay.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
