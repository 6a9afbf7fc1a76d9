// Entry point: everything lives in the library so that tests can drive it.
#include "driver.h"

int main(int argc, char** argv)
{
    return run_vek(Args(argv, argv + argc), process_environment());
}
