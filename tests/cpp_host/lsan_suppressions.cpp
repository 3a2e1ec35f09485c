// The embedded interpreter keeps some allocations until the process ends (also when the test list is
// read at build time); they are the interpreter's, not ours, so the leak checker leaves them out.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython"; }
