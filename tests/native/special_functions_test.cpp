// Prints the special functions of D_MB's interval for the arguments read
// from standard input, one "name argument" per line, as "name argument
// value" with both numbers in hexadecimal, for comparison with references.
#include <cstdio>
#include <cstring>

#include "analyzer/measures/special_functions.hpp"

using namespace lexispan;

int main() {
    char name[32];
    double x = 0.0;
    while (std::scanf("%31s %la", name, &x) == 2) {
        double value = 0.0;
        if (std::strcmp(name, "normal") == 0) {
            value = normal_quantile(x);
        } else if (std::strcmp(name, "chi2") == 0) {
            value = chi_squared_1_quantile(x);
        } else if (std::strcmp(name, "w0") == 0) {
            value = lambert_w0(x);
        } else if (std::strcmp(name, "wm1") == 0) {
            value = lambert_w_minus1(x);
        } else if (std::strcmp(name, "low") == 0) {
            value = likelihood_ratio_roots(x).low;
        } else if (std::strcmp(name, "high") == 0) {
            value = likelihood_ratio_roots(x).high;
        } else {
            std::printf("unknown function %s\n", name);
            return 1;
        }
        std::printf("%s %a %a\n", name, x, value);
    }
    return 0;
}
