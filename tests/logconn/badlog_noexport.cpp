// A library that loads but has no Exp_GetLogObject: the spine must unload
// it and trace nothing.
#include <windows.h>

extern "C" __declspec(dllexport) LONG WINAPI Exp_GetSomethingElse(void** ppObject)
{
    if (ppObject)
        *ppObject = nullptr;
    return 0;
}
