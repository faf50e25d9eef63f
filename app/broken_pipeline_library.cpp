// Stand-ins for a broken libfeature_run.so, for the program's loading tests.
// With LF_ABORT_WHILE_LOADING: a library that writes its reason to standard
// error and aborts while it is being loaded, as a library whose start-up
// fails does. Without: a library that loads but lacks the entry point.

#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>

#ifdef LF_ABORT_WHILE_LOADING
__attribute__((constructor)) static void fail_while_loading() {
  prctl(PR_SET_DUMPABLE, 0);  // no core file
  std::fputs("the reason the library gave\n", stderr);
  std::abort();
}
#endif

extern "C" int not_the_entry_point() { return 0; }
