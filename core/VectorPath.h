#pragma once

// The instruction sets the per-image loops (the tick's growth and merge, the
// flash gate's count, the dark's subtraction) are written for, from the
// plain loop up. "universal" is OpenCV's universal intrinsics on 128-bit
// vectors: NEON on arm64, SSE2 on x86-64. A build with TRAILCAM_VECTORS off
// has the plain loops only.
enum class VectorPath { plain, universal, avx2, avx512 };

// The best this build and this processor have.
VectorPath bestVectorPath();
// The path the loops take: the best, unless told otherwise.
VectorPath vectorPath();
// Takes a path from now on (tests and benchmarks compare them), at most the
// best there is; returns the one taken.
VectorPath useVectorPath(VectorPath path);
// "plain", "universal (NEON)", "universal (SSE2)", "AVX2", "AVX-512".
const char* vectorPathName(VectorPath path);
// The processor's architecture as built for: "x86_64", "aarch64", ...
const char* processorName();
