// The usable interval of a call and a put quote (pair.hpp).
#include <cmath>

#include "forward/pair.hpp"

namespace velliq {

ForwardInterval _usable_forwards(double K, double D, double call, double put) {
    return {std::fmax(K - put / D, 0.0), K + call / D};
}

}  // namespace velliq
