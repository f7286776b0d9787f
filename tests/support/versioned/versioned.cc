// A DLL that only carries a version resource, for the version and module path tests.
extern "C" __declspec(dllexport) int QvVersionedMarker() { return 42; }
