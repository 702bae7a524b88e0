// Load and unload entry of the library. Under MFC the DLL registers itself as an extension
// module of the host application; a DLL without MFC, and every other build, needs nothing
// at load time.

#include "QvDefs.h"

#if defined(_WIN32) && defined(_AFXDLL) && !defined(QV_STATIC)

#include <afxdllx.h>

static AFX_EXTENSION_MODULE s_qvUtilityModule = {NULL, NULL};

extern "C" int APIENTRY DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
    UNREFERENCED_PARAMETER(lpReserved);
    if (dwReason == DLL_PROCESS_ATTACH) {
        if (!AfxInitExtensionModule(s_qvUtilityModule, hInstance)) return 0;
        new CDynLinkLibrary(s_qvUtilityModule);
    } else if (dwReason == DLL_PROCESS_DETACH) {
        AfxTermExtensionModule(s_qvUtilityModule);
    }
    return 1;
}

#endif

#if defined(_WIN32) && !defined(_AFXDLL) && !defined(QV_STATIC)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

#endif
