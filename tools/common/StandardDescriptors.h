#pragma once
// A tool started with standard input, output or error closed would hand those numbers to the
// next file it opens, and its log would then be written into whatever that is (a serial line).
// So before anything else each tool puts /dev/null on any of descriptors 0 to 2 that is closed.

namespace jstools {

// False when a closed standard descriptor could not be filled (the tool should then stop).
bool EnsureStandardDescriptors();

}  // namespace jstools
