// A DLL that the dependency variant of the simulator imports. It stands
// beside that variant in a folder of its own, as a maker's component keeps
// its runtime DLLs, to prove the updater still loads such a component.
#include <windows.h>

extern "C" __declspec(dllexport) int ArconDepPing() { return 1; }
