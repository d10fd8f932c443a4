#include "core/python.hpp"

NB_MODULE(pooling, m) {
    zor::py::init(m);
}
