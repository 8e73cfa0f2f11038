// Prints the special functions of D_MB for the arguments read from
// standard input, one "name argument" per line, as "name argument value"
// with both numbers in hexadecimal, for comparison with references. A line
// "shares k rate... n size..." prints "shares" and E at each rate by the
// plain sum over the parts and then through the grouped sizes; "level"
// prints the CPU level the kernels run at.
#include <cstdio>
#include <cstring>
#include <vector>

#include "analyzer/measures/recent_measures.hpp"
#include "analyzer/measures/special_functions.hpp"
#include "platform/cpu_dispatch.hpp"

using namespace lexispan;

namespace {

std::vector<double> read_values() {
    std::size_t count = 0;
    if (std::scanf("%zu", &count) != 1) {
        return {};
    }
    std::vector<double> values(count);
    for (double& value : values) {
        if (std::scanf("%la", &value) != 1) {
            return {};
        }
    }
    return values;
}

void print_shares() {
    const std::vector<double> rates = read_values();
    const std::vector<double> sizes = read_values();
    std::vector<double> grouped(rates.size());
    AbsentShares(sizes).at(rates, grouped);
    std::printf("shares");
    for (const double rate : rates) {
        std::printf(" %a", expected_absent_share(sizes, rate));
    }
    for (const double share : grouped) {
        std::printf(" %a", share);
    }
    std::printf("\n");
}

}  // namespace

int main() {
    char name[32];
    double x = 0.0;
    while (std::scanf("%31s", name) == 1) {
        if (std::strcmp(name, "shares") == 0) {
            print_shares();
            continue;
        }
        if (std::strcmp(name, "level") == 0) {
            std::printf("level %s\n", cpu_level_name(cpu_level()));
            continue;
        }
        if (std::scanf("%la", &x) != 1) {
            return 1;
        }
        double value = 0.0;
        if (std::strcmp(name, "exp") == 0) {
            value = portable_exp(x);
        } else if (std::strcmp(name, "normal") == 0) {
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
