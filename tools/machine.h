#pragma once
// What a speed figure depends on beyond the code: the processor it was measured on and
// how free the second core was. Every benchmark program prints both beside its figures.

#include <string>

// The processor as /proc/cpuinfo names it: "MODEL NAME (family F, model M)"; "unknown
// processor" when the file cannot be read.
std::string vyxBenchProcessor();

// The speed-up of two threads over one on pure arithmetic (about a tenth of a second):
// near 2.00 when the second core is free, near 1 when other work holds it.
double vyxBenchTwoThreadProbe();
