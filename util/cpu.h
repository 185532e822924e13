#pragma once
// What the processor offers the code compiled for wider vectors.

// Whether code compiled for AVX2 may run: the processor has AVX2 and the environment
// variable VYX_NO_AVX2 is unset, empty or "0" (set, it gives the plain paths of processors
// without AVX2, for tests and measurements on one that has it). Decided once, at the
// first call. Any thread.
bool vyxWideVectorsAllowed();
