// LeakSanitizer's built-in suppressions for every fuzz target: fontconfig keeps its
// configuration and caches for the life of the process, so a run that drew text would
// otherwise end with a leak report (the same list as scripts/lsan.supp).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
