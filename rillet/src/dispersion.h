// The statistic of the dispersion functions, shared by std.cpp, its kernels
// (std_kernels.h) and the streams, which run the same kernel on one window.
#pragma once

namespace rillet {

enum class Stat { Sample, Population, MeanAbs };

}  // namespace rillet
