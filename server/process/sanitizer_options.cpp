// Sanitizer builds only: full unwinding, so a leak report names the allocation's real callers
// even through libraries built without frame pointers.
extern "C" const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0";
}
