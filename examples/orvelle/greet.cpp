// The example's library: found next to the program in lib\, loaded at run time.
#include <windows.h>

extern "C" __declspec(dllexport) const wchar_t* greet_text() { return L"greet.dll is loaded"; }
