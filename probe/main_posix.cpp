// The process entry: arguments are ignored; the exit status is the port found, or 0.
#include "ProbePorts.h"

int main(int, char**) { return static_cast<int>(ProbePorts()); }
