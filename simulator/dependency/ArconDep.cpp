// A DLL that the dependency variant of the simulator loads by bare name in
// each call. It stands beside that variant in a folder of its own, as a
// maker's component keeps its runtime DLLs, to prove that the updater's
// narrowed DLL search still lets such a component work.
#include <windows.h>

extern "C" __declspec(dllexport) int ArconDepPing() { return 1; }
