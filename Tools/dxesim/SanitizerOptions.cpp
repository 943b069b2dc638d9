// SPDX-License-Identifier: BSD-2-Clause-Patent
// Sanitizer build only. A sanitizer's report in the driver's code ends with
// abort() rather than exit(), so the fault guard around the call into the
// image turns it into a halt of the simulated machine like any other fault
// (the report stays on standard error). The environment still overrides.
extern "C" const char *__asan_default_options() {
  return "abort_on_error=1";
}
extern "C" const char *__ubsan_default_options() {
  return "abort_on_error=1";
}
