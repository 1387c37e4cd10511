// The process entry, with wide-character arguments: they are ignored; the exit status is the
// port found, or 0.
#include "ProbePorts.h"

int wmain(int, wchar_t**) { return static_cast<int>(ProbePorts()); }
