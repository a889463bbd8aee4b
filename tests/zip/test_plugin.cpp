// A library for the tests to load in one process and replace from another.
extern "C" __declspec(dllexport) int TallyxTestPlugin() { return 1; }
