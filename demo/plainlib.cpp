// A plain library of the demo payload set: no COM, one exported function that
// tells which component and which payload variant it is.
//
// ORBEL_COMPONENT names the component, ORBEL_VARIANT the payload variant.

#include <windows.h>

extern "C" __declspec(dllexport) const wchar_t* WINAPI OrbelComponentName() {
    return ORBEL_COMPONENT L" " ORBEL_VARIANT;
}
