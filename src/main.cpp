// Entry point: everything lives in the library so that tests can drive it.
#include "driver.h"
#include "signals.h"

int main(int argc, char** argv)
{
    ignore_run_signals();  // before anything: a key typed now must not end us
    open_standard_descriptors();
    return run_vek(Args(argv, argv + argc), process_environment());
}
