#include "conv_kernels.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tool {

namespace {

// Taps of the one-dimensional kernels, summing to 1; the outer products of
// the Gaussian taps keep every coefficient of the 7x7 form above 1/1024.
std::vector<double> taps(const std::string &kind, int n) {
    std::vector<double> t;
    if (kind == "box") t.assign(static_cast<std::size_t>(n), 1.0);
    else if (n == 3) t = {1, 2, 1};
    else if (n == 5) t = {1, 4, 6, 4, 1};
    else t = {1, 3, 6, 7, 6, 3, 1};
    double sum = 0;
    for (double v : t) sum += v;
    for (double &v : t) v /= sum;
    return t;
}

}  // namespace

const char *kernel_names() {
    return "box3, box5, box7, gaussian3, gaussian5, gaussian7, sharpen, edge; for the separable chain boxNx1, "
           "box1xN, gaussianNx1, gaussian1xN (N = 3, 5, 7)";
}

std::vector<double> named_kernel(const std::string &name) {
    if (name == "sharpen") return {3, 3, 0, -1, 0, -1, 5, -1, 0, -1, 0};
    if (name == "edge") return {3, 3, -1, 0, 1, -2, 0, 2, -1, 0, 1};
    for (const char *kind : {"box", "gaussian"}) {
        const std::string k = kind;
        if (name.rfind(k, 0) != 0) continue;
        const std::string rest = name.substr(k.size());
        for (int n = 3; n <= 7; n += 2) {
            const std::string N = std::to_string(n);
            const std::vector<double> t = taps(k, n);
            std::vector<double> out;
            if (rest == N) {
                out = {double(n), double(n)};
                for (double a : t)
                    for (double b : t) out.push_back(a * b);
            } else if (rest == N + "x1" || rest == "1x" + N) {
                out = rest == N + "x1" ? std::vector<double>{double(n), 1} : std::vector<double>{1, double(n)};
                out.insert(out.end(), t.begin(), t.end());
            }
            if (!out.empty()) return out;
        }
    }
    return {};
}

bool parse_kernel(const std::string &text, std::vector<double> *out, std::string *error) {
    *out = named_kernel(text);
    if (!out->empty()) return true;
    const std::size_t colon = text.find(':'), x = text.find('x');
    if (colon == std::string::npos || x == std::string::npos || x > colon) {
        *error = "--kernel: '" + text + "' is not WxH:v1,...,vn nor a named kernel (" + kernel_names() + ")";
        return false;
    }
    char *end = nullptr;
    const long w = std::strtol(text.c_str(), &end, 10);
    const bool wok = end == text.c_str() + x;
    const long h = std::strtol(text.c_str() + x + 1, &end, 10);
    if (!wok || end != text.c_str() + colon || w < 1 || h < 1 || w > 256 || h > 256) {
        *error = "--kernel: '" + text.substr(0, colon) + "' is not a size WxH of 1 to 256 each way";
        return false;
    }
    out->assign({double(w), double(h)});
    std::size_t start = colon + 1;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        errno = 0;
        const double v = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
            *error = "--kernel: '" + item + "' is not a number";
            return false;
        }
        out->push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (static_cast<long>(out->size()) - 2 != w * h) {
        *error = "--kernel: " + std::to_string(out->size() - 2) + " value(s) given for a " + std::to_string(w) + "x" +
                 std::to_string(h) + " kernel (" + std::to_string(w * h) + " needed)";
        return false;
    }
    return true;
}

bool parse_edge(const std::string &text, double *out, std::string *error) {
    if (text == "nowrite" || text == "0") *out = 0;
    else if (text == "zerofill" || text == "1") *out = 1;
    else if (text == "extend" || text == "2") *out = 2;
    else {
        *error = "--edge: '" + text + "' is not an edge mode: nowrite or zerofill (both convolution paths), "
                 "extend (the host's own: the device declines it)";
        return false;
    }
    return true;
}

}  // namespace tool
