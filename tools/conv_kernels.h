// Convolution kernels as a person writes them for the tool: "WxH:v1,...,vn"
// (row-major) or a name: box3/5/7, gaussian3/5/7, sharpen, edge (a Sobel-like
// horizontal gradient), and the one-dimensional boxNx1, box1xN, gaussianNx1,
// gaussian1xN (N = 3, 5, 7) for the separable chain. Edge modes: nowrite,
// zerofill, extend (which the device declines), or their numbers.
#pragma once

#include <string>
#include <vector>

namespace tool {

// {W, H, v1 .. vW*H}; false with *error.
bool parse_kernel(const std::string &text, std::vector<double> *out, std::string *error);
// The named kernel as {W, H, values...}, or empty for an unknown name.
std::vector<double> named_kernel(const std::string &name);
// The names, for help texts.
const char *kernel_names();
bool parse_edge(const std::string &text, double *out, std::string *error);

}  // namespace tool
