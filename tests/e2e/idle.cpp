// kestrix_idle: a program that does nothing until it is ended. The suite
// copies it onto a stick under a worm's name and starts it there, so that the
// file is in use the way a running worm's file is.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Sleep(INFINITE);
  return 0;
}
