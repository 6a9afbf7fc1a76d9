// A condition that ends the run. Thrown where it is met and turned into the
// message on standard error and the exit status in one place, run_vek().
#pragma once

#include <string>

struct Fatal {
    int status;
    std::string message;
};
